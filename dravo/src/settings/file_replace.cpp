#include "settings/file_replace.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/error_code.hpp>
#include <cerrno>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what, const boost::filesystem::path& path, int error) {
  throw boost::filesystem::filesystem_error(
      what, path, boost::system::error_code(error, boost::system::system_category()));
}

}  // namespace

void ReplaceFile(const boost::filesystem::path& path, const std::string& bytes, mode_t mode) {
  std::string pattern = path.string() + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) Fail("create", path, errno);
  const boost::filesystem::path temporary(name.data());
  auto give_up = [&](const char* what) {
    const int error = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    Fail(what, temporary, error);
  };
  // Set the mode on the descriptor, so the umask cannot widen or narrow it.
  if (::fchmod(fd, mode) != 0) give_up("chmod");
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) give_up("write");
    done += static_cast<size_t>(put);
  }
  if (::fsync(fd) != 0) give_up("fsync");
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    Fail("close", temporary, error);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    Fail("rename", path, error);
  }
}
