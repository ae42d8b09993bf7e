// Copies every top-level token of a token file into a new, zlib-compressed
// file of the same encoding, then reads both and compares them token by
// token.   copy_tokens IN OUT
#include <tokenfile/container.h>
#include <tokenfile/dictionary.h>
#include <tokenfile/token_error.h>
#include <tokenfile/token_stream.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace tokenfile;

namespace {

std::u16string wide(const char* s) { return std::u16string(s, s + std::char_traits<char>::length(s)); }

std::unique_ptr<TokenStream> open_for_reading(const char* path) {
  return token_stream_open_path(wide(path).c_str(), STREAM_READ, 0, 0, 0);
}

// The top-level tokens of a file: each id and its block.
bool tokens_of(TokenStream& in, std::vector<uint32_t>& ids,
               std::vector<std::unique_ptr<TokenBlock>>& blocks) {
  uint32_t id = 0;
  while (in.read_token_open(id, nullptr)) {
    ids.push_back(id);
    blocks.push_back(in.read_block());
    if (!blocks.back()) return false;
  }
  return token_error == ERR_END_OF_DATA;
}

bool same(const TokenBlock& a, const TokenBlock& b) {
  if (a.kind != b.kind || a.bytes != b.bytes || a.lines.size() != b.lines.size()) return false;
  for (size_t i = 0; i < a.lines.size(); ++i)
    if (a.lines[i].text != b.lines[i].text || a.lines[i].depth != b.lines[i].depth) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return std::fprintf(stderr, "usage: copy_tokens IN OUT\n"), 2;
  auto in = open_for_reading(argv[1]);
  if (!in) return std::fprintf(stderr, "cannot open %s\n", argv[1]), 1;
  // The copy keeps the encoding, file type and file version of the original.
  const uint32_t encoding = token_stream_flags(*in) & (STREAM_BINARY | STREAM_TEXT);
  const std::u16string_view header = token_stream_header(*in);  // tag, versions, encoding
  auto out = token_stream_open_path(wide(argv[2]).c_str(), encoding, header[5], header[6], COMPRESSION_ZLIB);
  uint32_t id = 0;
  while (out && in->read_token_open(id, nullptr)) {
    std::unique_ptr<TokenBlock> block = in->read_block();
    if (!block || !out->write_block(block)) return std::fprintf(stderr, "cannot copy a token\n"), 1;
  }
  if (!out || !token_stream_close(std::move(out)))
    return std::fprintf(stderr, "cannot write %s (%s)\n", argv[2], token_error_name(token_error)), 1;

  std::vector<uint32_t> ids[2];
  std::vector<std::unique_ptr<TokenBlock>> blocks[2];
  for (int i = 0; i < 2; ++i) {
    auto stream = open_for_reading(argv[1 + i]);
    if (!stream || !tokens_of(*stream, ids[i], blocks[i]))
      return std::fprintf(stderr, "cannot read %s back\n", argv[1 + i]), 1;
  }
  bool equal = !ids[0].empty() && ids[0] == ids[1];
  for (size_t i = 0; equal && i < ids[0].size(); ++i) equal = same(*blocks[0][i], *blocks[1][i]);
  if (!equal) return std::fprintf(stderr, "the copy does not read back as the original\n"), 1;
  std::vector<uint8_t> file_bytes, body;
  ContainerInfo info;
  if (std::FILE* f = std::fopen(argv[2], "rb")) {
    for (int c; (c = std::fgetc(f)) != EOF;) file_bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
  }
  if (!container_unpack(file_bytes, body, &info) || info.compression != COMPRESSION_ZLIB)
    return std::fprintf(stderr, "the copy is not compressed\n"), 1;
  std::printf("%zu tokens copied, %u bytes of body in %zu\n", ids[0].size(), info.body_size,
              file_bytes.size());
  return 0;
}
