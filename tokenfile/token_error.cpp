#include "tokenfile/token_error.h"

namespace tokenfile {

int32_t token_error = 0;

const char* token_error_name(int32_t code) noexcept {
  switch (code) {
    case 0: return "no error";
    case ERR_NO_MEMORY: return "ERR_NO_MEMORY";
    case ERR_BLOCK_KIND: return "ERR_BLOCK_KIND";
    case ERR_BAD_VALUE: return "ERR_BAD_VALUE";
    case ERR_END_OF_DATA: return "ERR_END_OF_DATA";
    case ERR_SYNTAX: return "ERR_SYNTAX";
    case ERR_UNKNOWN_TOKEN: return "ERR_UNKNOWN_TOKEN";
    case ERR_BAD_HEADER: return "ERR_BAD_HEADER";
    case ERR_END_OF_TOKEN: return "ERR_END_OF_TOKEN";
    case ERR_READ: return "ERR_READ";
    default: return "unknown error";
  }
}

}  // namespace tokenfile
