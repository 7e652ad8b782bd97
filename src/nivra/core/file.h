#pragma once
// Whole-file reads for the text formats (OpenQASM, Pauli sums, DEM), bounded by
// the memory the process may use, so that an endless file (/dev/zero, a pipe
// that never closes) ends in an error rather than exhausting memory.

#include <cstdint>
#include <expected>
#include <string>

namespace nivra {

// The bytes of the file at `path`, or the reason it could not be read in the
// operating system's words: "No such file or directory (os error 2)".
// A file longer than half of memory_limit() at the start of the read (the
// caller's decoding or parsing keeps a second copy of the text or more) throws
// AllocationError "cannot allocate more than {half} for the text of {path}"
// without reading further; a failed allocation while reading throws
// AllocationError for the text read so far.
std::expected<std::string, std::string> read_file(const std::string& path);

// As read_file, with the bound on the text given in bytes.
std::expected<std::string, std::string> read_file(const std::string& path, std::uint64_t max_bytes);

}  // namespace nivra
