#include "nivra/core/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "nivra/core/format.h"
#include "nivra/core/memory.h"

namespace nivra {

namespace {

std::string os_error_text(int code) {
    return std::string(std::strerror(code)) + " (os error " + fmt::display(std::int64_t{code}) + ")";
}

[[noreturn]] void refuse_longer_than(std::uint64_t max_bytes, const std::string& path) {
    throw AllocationError("cannot allocate more than " + fmt::bytes(max_bytes) + " for the text of " + path);
}

class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() { ::close(fd_); }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;

private:
    int fd_;
};

constexpr std::size_t FIRST_PIECE = std::size_t{1} << 16;
constexpr std::size_t LARGEST_PIECE = std::size_t{1} << 26;

}  // namespace

std::expected<std::string, std::string> read_file(const std::string& path) {
    return read_file(path, memory_limit() / 2);
}

std::expected<std::string, std::string> read_file(const std::string& path, std::uint64_t max_bytes) {
    // A path with a NUL byte cannot name a file; the OS interface would cut it.
    if (path.find('\0') != std::string::npos) {
        return std::unexpected(std::string("file name contained an unexpected NUL byte"));
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(os_error_text(errno));
    FdGuard guard(fd);

    // A regular file says its length; devices and pipes are read until they end
    // or pass the bound.
    std::size_t piece_size = FIRST_PIECE;
    struct stat info{};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        const auto size = static_cast<std::uint64_t>(info.st_size);
        if (size > max_bytes) refuse_longer_than(max_bytes, path);
        piece_size = static_cast<std::size_t>(std::max<std::uint64_t>(size + 1, FIRST_PIECE));
    }

    // The text is read in pieces and joined once its length is known, so a
    // growing buffer never holds its old and new copies at once.
    std::vector<std::string> pieces;
    std::uint64_t total = 0;
    try {
        for (bool end = false; !end;) {
            std::string piece(piece_size, '\0');
            std::size_t used = 0;
            while (used < piece.size()) {
                const ssize_t n = ::read(fd, piece.data() + used, piece.size() - used);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    return std::unexpected(os_error_text(errno));
                }
                if (n == 0) {
                    end = true;
                    break;
                }
                used += static_cast<std::size_t>(n);
                total += static_cast<std::uint64_t>(n);
                if (total > max_bytes) refuse_longer_than(max_bytes, path);
            }
            piece.resize(used);
            pieces.push_back(std::move(piece));
            piece_size = std::min(piece_size * 2, std::max(piece_size, LARGEST_PIECE));
        }
        if (pieces.size() == 1) return std::move(pieces[0]);
        std::string text;
        text.reserve(static_cast<std::size_t>(total));
        for (const std::string& piece : pieces) text += piece;
        return text;
    } catch (const AllocationError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw AllocationError(allocation_message(total, "the text of " + path));
    }
}

}  // namespace nivra
