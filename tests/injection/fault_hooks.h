// Fault injection for the tests of this directory, which are linked into a
// binary of their own: the global allocation functions are replaced by
// counting ones that can be told to fail, and the C library's fwrite,
// fflush, fclose and rename are wrapped so that a chosen call fails. When
// nothing is armed every call behaves as usual.
#pragma once

#include <cstddef>
#include <cstdint>

namespace faults {

// --- allocations (operator new and new[], throwing and nothrow) ---

// From now on, allocation number `nth` (counted from 1) fails: the throwing
// forms throw std::bad_alloc, the nothrow forms return null. With
// `persistent` every later allocation fails too. Resets the counters.
void fail_allocation(uint64_t nth, bool persistent = false);
// Counts without failing (resets the counters).
void count_allocations();
// Stops counting and failing.
void stop_allocations();

// Allocations asked for since the last fail_allocation or
// count_allocations, failed ones included.
uint64_t allocations();
// True when an allocation has been made to fail since then.
bool allocation_failed();
// The largest single request since then, in bytes.
size_t largest_allocation();
// Allocations made and not yet released, over the whole process.
int64_t live_allocations();

// --- calls on files open for writing (never the standard streams) ---

enum class FileCall { Write, Flush, Close, Rename };

// From now on, call number `nth` (counted from 1) of `call` fails:
// fwrite writes half of what it is given and reports that, fflush fails
// after flushing, fclose closes the file and reports failure, rename leaves
// both names alone; each sets errno to EIO. Resets the counters.
void fail_file_call(FileCall call, uint64_t nth);
// Counts without failing (resets the counters).
void count_file_calls();
void stop_file_calls();
uint64_t file_calls(FileCall call);
bool file_call_failed();

}  // namespace faults
