// The bounded read: stat before opening, open without waiting, check again on the descriptor,
// and never read more than one byte past the limit.
#include "platform/whole_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace platform {
namespace {

class FileReadCategoryImpl : public std::error_category {
public:
  const char* name() const noexcept override { return "file read"; }
  std::string message(int code) const override {
    switch (static_cast<FileReadError>(code)) {
      case FileReadError::NotRegular:
        return "not a regular file";
      case FileReadError::TooLarge:
        return "file larger than its reader takes";
    }
    return "file read error " + std::to_string(code);
  }
};

std::error_code SystemError() { return {errno, std::system_category()}; }

class Descriptor {
public:
  explicit Descriptor(int descriptor) : fd(descriptor) {}
  ~Descriptor() { ::close(fd); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int fd;
};

}  // namespace

const std::error_category& FileReadCategory() {
  static const FileReadCategoryImpl category;
  return category;
}

std::error_code make_error_code(FileReadError error) {
  return {static_cast<int>(error), FileReadCategory()};
}

std::error_code ReadWholeFile(const std::string& path, size_t limit, std::string& bytes) {
  bytes.clear();
  // Looked at before opening: opening some devices does something by itself (a serial line
  // raises its modem lines).
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return SystemError();
  if (!S_ISREG(status.st_mode)) return FileReadError::NotRegular;
  // Should the path have been replaced meanwhile, O_NONBLOCK keeps a FIFO from waiting for a
  // writer, and the descriptor is checked again.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return SystemError();
  const Descriptor file(fd);
  if (::fstat(file.fd, &status) != 0) return SystemError();
  if (!S_ISREG(status.st_mode)) return FileReadError::NotRegular;
  if (static_cast<unsigned long long>(status.st_size) > limit) return FileReadError::TooLarge;

  std::string contents;
  contents.reserve(static_cast<size_t>(status.st_size));
  char block[16384];
  for (;;) {
    // One byte past the limit at most: a file that grew since fstat is refused all the same.
    const size_t room = limit - contents.size();
    const size_t wanted = room < sizeof block ? room + 1 : sizeof block;
    const ssize_t got = ::read(file.fd, block, wanted);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return SystemError();
    if (got == 0) break;
    contents.append(block, static_cast<size_t>(got));
    if (contents.size() > limit) return FileReadError::TooLarge;
  }
  bytes = std::move(contents);
  return {};
}

}  // namespace platform
