// Fault injection for the binary of this directory: the global allocation
// functions count and can be told to fail, and fwrite, fflush, fclose and
// rename on files open for writing can be told to fail (errno EIO). One
// thread only.
#pragma once

#include <cstdint>

namespace faults {

// From now on allocation number `nth` (from 1) fails, and with `persistent`
// every later one too: the throwing forms throw std::bad_alloc, the nothrow
// forms return null. 0 fails none. Restarts the count.
void fail_allocation(uint64_t nth, bool persistent = false);
// True when an allocation failed since the last fail_allocation.
bool allocation_failed();
// Allocations made and not yet released.
int64_t live_allocations();

enum class FileCall { Write, Flush, Close, Rename };
// From now on call number `nth` (from 1) of `call` fails; 0 fails none.
// Restarts the counts.
void fail_file_call(FileCall call, uint64_t nth);
uint64_t file_calls(FileCall call);

}  // namespace faults
