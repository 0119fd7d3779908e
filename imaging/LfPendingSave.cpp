#include "LfPendingSave.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr char kUniqueSuffix[] = ".XXXXXX";
constexpr size_t kUniqueLength = sizeof kUniqueSuffix - 1;

std::string ErrnoText(const char* what, int error) {
    return std::string(what) + " (" + std::strerror(error) + ")";
}

// Permission bits a freshly created file would get: those of the file being replaced, or
// the usual 0666 filtered by the process umask.
mode_t TargetMode(const char* path) {
    struct stat st;
    if (::stat(path, &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

std::string NameInTemporary(const std::string& targetName) {
    return "." + targetName.substr(0, LfPendingSave::kNameKept);
}

// A unique temporary path template in the target's folder, hidden.
std::string TemporaryTemplate(const std::string& target) {
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    return folder + NameInTemporary(name) + kUniqueSuffix;
}

}  // namespace

LfPendingSave::LfPendingSave(LfPendingSave&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      target_(std::move(other.target_)),
      temporary_(std::move(other.temporary_)) {}

LfPendingSave& LfPendingSave::operator=(LfPendingSave&& other) noexcept {
    if (this != &other) {
        Discard();
        fd_ = std::exchange(other.fd_, -1);
        target_ = std::move(other.target_);
        temporary_ = std::move(other.temporary_);
    }
    return *this;
}

int LfPendingSave::Create(const std::string& target, std::string& error) {
    Discard();
    std::string path = TemporaryTemplate(target);
    const int fd = ::mkstemp(path.data());
    if (fd < 0) {
        error = ErrnoText("Save: can't create a file in the target folder", errno);
        return -1;
    }
    ::fchmod(fd, TargetMode(target.c_str()));
    fd_ = fd;
    target_ = target;
    temporary_ = std::move(path);
    return fd_;
}

bool LfPendingSave::Sync(std::string& error) {
    if (fd_ < 0) {
        error = "Save: nothing to sync";
        return false;
    }
    if (::fsync(fd_) != 0) {
        error = ErrnoText("Save: write error", errno);
        return false;
    }
    return true;
}

bool LfPendingSave::Replace(std::string& error) {
    if (fd_ < 0) {
        error = "Save: nothing to replace the target with";
        return false;
    }
    if (::close(std::exchange(fd_, -1)) != 0) {
        error = ErrnoText("Save: write error", errno);
        ::unlink(temporary_.c_str());
        return false;
    }
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        error = ErrnoText("Save: can't replace the target file", errno);
        ::unlink(temporary_.c_str());
        return false;
    }
    return true;
}

void LfPendingSave::Discard() {
    if (fd_ < 0) return;
    Close();
    ::unlink(temporary_.c_str());
}

void LfPendingSave::Close() { ::close(std::exchange(fd_, -1)); }

bool LfPendingSave::IsTemporaryOf(const std::string& fileName, const std::string& targetName) {
    const std::string stem = NameInTemporary(targetName);
    if (fileName.size() != stem.size() + kUniqueLength || fileName.compare(0, stem.size(), stem) != 0)
        return false;
    if (fileName[stem.size()] != '.') return false;
    for (size_t i = stem.size() + 1; i < fileName.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(fileName[i]))) return false;
    return true;
}
