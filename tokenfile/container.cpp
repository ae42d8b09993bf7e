// The container as a whole-file operation, over the private container.
#include "tokenfile/container.h"

#include <limits>
#include <new>

#include "tokenfile/file_container.h"
#include "tokenfile/token_error.h"

namespace tokenfile {

int32_t container_unpack(const std::vector<uint8_t>& file, std::vector<uint8_t>& body,
                         ContainerInfo* info) noexcept {
  try {
    LoadProblem problem = LoadProblem::None;
    auto c = container_load(std::vector<uint8_t>(file), &problem);
    if (!c) return fail(problem == LoadProblem::OutOfMemory ? ERR_NO_MEMORY : ERR_READ);
    body.assign(c->body(), c->body() + c->body_size);
    if (info) *info = {c->compression(), c->header_bytes, c->body_size};
    return 1;
  } catch (const std::bad_alloc&) {
    return fail(ERR_NO_MEMORY);
  }
}

int32_t container_pack(const std::vector<uint8_t>& body, char compression, int32_t wide_header,
                       std::vector<uint8_t>& file) noexcept {
  if (body.size() >= std::numeric_limits<uint32_t>::max()) return fail(ERR_BAD_VALUE);
  auto c = container_create(nullptr, compression, wide_header);
  if (!c) return fail(ERR_NO_MEMORY);
  const auto size = static_cast<uint32_t>(body.size());
  if (container_write(*c, body.data(), size) != size) return fail(ERR_NO_MEMORY);
  if (!container_close_to_bytes(std::move(c), file)) return fail(ERR_NO_MEMORY);
  return 1;
}

}  // namespace tokenfile
