#include "tools/pack/HostFiles.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "core/package/Utf8.h"

namespace fs = std::filesystem;

std::string QuotedPath(const fs::path& path) {
  return "'" + path.string() + "'";
}

bool HostName(const fs::path& path, std::u16string* name) {
  return Utf8ToUtf16(path.filename().string(), name);
}

bool ListHostFolder(const fs::path& folder, std::vector<fs::path>* entries, std::string* error) {
  entries->clear();
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    entries->push_back(it->path());
  if (ec)
    *error = QuotedPath(folder) + ": cannot read the folder: " + ec.message();
  return !ec;
}

bool ResolveHostPath(const fs::path& path, HostEntry* entry, std::string* error) {
  std::error_code ec;
  entry->real = fs::canonical(path, ec);
  if (ec) {
    *error = ec.message();
    return false;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  entry->kind = S_ISDIR(st.st_mode)   ? HostEntry::Kind::kFolder
                : S_ISREG(st.st_mode) ? HostEntry::Kind::kFile
                                      : HostEntry::Kind::kOther;
  entry->size = static_cast<std::uint64_t>(st.st_size);
  entry->volume = st.st_dev;
  entry->file = st.st_ino;
  return true;
}

bool HostPathInside(const fs::path& target, const fs::path& root) {
  const fs::path relative = target.lexically_relative(root);
  return !relative.empty() && *relative.begin() != "..";
}

bool MakePrivateTemporaryFolder(fs::path* folder) {
  std::error_code ec;
  std::string pattern = (fs::temp_directory_path(ec) / "setup_pack-XXXXXX").string();
  if (ec || ::mkdtemp(pattern.data()) == nullptr)
    return false;
  *folder = pattern;
  return true;
}

int RunHostCommand(const std::string& command, const fs::path& file) {
  std::string quoted = "'";
  for (const char c : file.string())
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  const int status = std::system((command + " " + quoted).c_str());
  if (status == -1 || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

bool Sha256(const std::uint8_t* data, std::size_t size, Sha256Digest* digest) {
  unsigned int length = 0;
  return EVP_Digest(data, size, digest->data(), &length, EVP_sha256(), nullptr) == 1 &&
         length == digest->size();
}

bool ReadWholeFile(const fs::path& path, Bytes* bytes, std::string* error, std::uint64_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = QuotedPath(path) + ": cannot open for reading: " + std::strerror(errno);
    return false;
  }
  bytes->clear();
  std::uint8_t chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      *error = QuotedPath(path) + ": read error: " + std::strerror(errno);
      ::close(fd);
      bytes->clear();
      return false;
    }
    if (n == 0)
      break;
    if (static_cast<std::uint64_t>(n) > limit - bytes->size()) {
      *error = QuotedPath(path) + ": larger than " + std::to_string(limit) + " bytes";
      ::close(fd);
      bytes->clear();
      return false;
    }
    bytes->insert(bytes->end(), chunk, chunk + n);
  }
  ::close(fd);
  return true;
}

bool CheckOutputPath(const fs::path& path, std::string* error) {
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    *error = QuotedPath(folder) + (errno == ENOENT || errno == ENOTDIR
                                       ? std::string(": the output's folder does not exist")
                                       : ": the output's folder cannot be reached: " +
                                             std::string(std::strerror(errno)));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = QuotedPath(folder) + ": the output's folder is not a folder";
    return false;
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    *error = QuotedPath(folder) + ": cannot write in the output's folder: " + std::strerror(errno);
    return false;
  }
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    *error = QuotedPath(path) + ": the output is a folder";
    return false;
  }
  return true;
}

namespace {

// Creates `path` for writing, never through a symbolic link and never over a file that is
// already there; -1 with errno otherwise.
int CreateExclusively(const fs::path& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool WriteAll(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool WriteFileAtomically(const fs::path& path, const Bytes& bytes, std::string* error) {
  fs::path temporary = path;
  temporary += ".partial";
  int fd = CreateExclusively(temporary);
  if (fd < 0 && errno == EEXIST) {
    // A regular file is what an interrupted run leaves: it goes. Anything else (a link, a
    // folder) someone else put there, and it stays. unlink() removes a link itself, never
    // what it names, and a file that comes back meanwhile makes the second create fail.
    struct stat st {};
    if (::lstat(temporary.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      *error = QuotedPath(temporary) + ": is in the way and is not a file an earlier run left; " +
               "remove it";
      return false;
    }
    if (::unlink(temporary.c_str()) == 0)
      fd = CreateExclusively(temporary);
  }
  if (fd < 0) {
    *error = QuotedPath(temporary) + ": cannot create: " + std::strerror(errno);
    return false;
  }
  const bool written = WriteAll(fd, bytes);
  const int writeErrno = errno;
  if (::close(fd) != 0 || !written) {
    *error = QuotedPath(path) + ": cannot write: " + std::strerror(written ? errno : writeErrno);
    ::unlink(temporary.c_str());
    return false;
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) {
    *error = QuotedPath(path) + ": cannot write: " + ec.message();
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}
