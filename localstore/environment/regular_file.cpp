#include "environment/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tesra {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
    ~FileDescriptor() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return descriptor_; }

private:
    int descriptor_;
};

}  // namespace

RegularFileRead readRegularFile(const std::string &path, size_t maxSize, std::string &content) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0) return errno == ENOENT ? RegularFileRead::kMissing : RegularFileRead::kUnreadable;
    struct stat status;
    if (::fstat(file.get(), &status) != 0) return RegularFileRead::kUnreadable;
    if (!S_ISREG(status.st_mode)) return RegularFileRead::kNotRegular;
    if (static_cast<unsigned long long>(status.st_size) > maxSize) return RegularFileRead::kTooLarge;

    // The file may grow while it is read: one byte past the limit is enough to tell.
    content.assign(maxSize + 1, '\0');
    size_t length = 0;
    while (length < content.size()) {
        const ssize_t got = ::read(file.get(), content.data() + length, content.size() - length);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return RegularFileRead::kUnreadable;
        if (got == 0) break;
        length += static_cast<size_t>(got);
    }
    if (length > maxSize) return RegularFileRead::kTooLarge;
    content.resize(length);
    return RegularFileRead::kRead;
}

}  // namespace tesra
