// The floor under the wall time of converting a small map: a program that
// does nothing but start and exit, linked like the mapbake executable (once
// with shared libraries, once statically). It uses the C++ runtime, so that
// the shared build loads it as a C++ program does. Given a file name, it
// also writes a small file there the way mapbake writes its target (a
// temporary file beside it, renamed over it): what the file system alone
// costs.
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  const std::string name = argc > 0 ? argv[0] : "";
  if (argc < 2) return name.empty() ? 1 : 0;
  const std::string target = argv[1];
  const std::string temporary = target + ".tmp";
  static const char bytes[800] = {};
  std::FILE* f = std::fopen(temporary.c_str(), "wb");
  if (f == nullptr) return 1;
  const bool written = std::fwrite(bytes, 1, sizeof bytes, f) == sizeof bytes;
  if (std::fclose(f) != 0 || !written) return 1;
  return std::rename(temporary.c_str(), target.c_str()) == 0 ? 0 : 1;
}
