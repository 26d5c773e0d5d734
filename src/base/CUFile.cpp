#include "base/CUFile.h"

#include "base/CScopedFd.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CUFile::~CUFile()
{
    Abandon();
    Close();
}

int CUFile::Fail(int error)
{
    m_errorText = CUString(std::strerror(error ? error : EIO));
    return 0;
}

void CUFile::Abandon()
{
    if (m_temporary.IsEmpty())
        return;
    Close();
    Remove(m_temporary.c_str());
    m_temporary.Empty();
    m_target.Empty();
}

int CUFile::Open(const char* path, int /*flag*/)
{
    Abandon();
    Close();
    m_errorText.Empty();
    m_openErrno = 0;
    m_writing = false;
    m_error = false;
    // O_NONBLOCK: a FIFO standing at the name must not hang the reader; only a regular
    // file is read at all.
    CScopedFd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {
    };
    int error = !fd.IsOpen() ? errno : (fstat(fd.Get(), &info) != 0 ? errno : 0);
    if (!error && !S_ISREG(info.st_mode))
        error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    if (!error && fcntl(fd.Get(), F_SETFL, 0) != 0)
        error = errno;
    if (!error && !(m_file = fdopen(fd.Get(), "rb")))
        error = errno;
    if (error) {
        m_openErrno = error;
        return Fail(error);
    }
    fd.Release(); // the stream closes it now
    return 1;
}

int CUFile::Create(const char* path, int /*flag*/)
{
    Abandon();
    Close();
    m_file = std::fopen(path, "wb");
    m_writing = true;
    m_error = false;
    return m_file != nullptr;
}

int CUFile::CreateReplacing(const char* path)
{
    Abandon();
    Close();
    m_errorText.Empty();
    struct stat old {
    };
    const mode_t mode = stat(path, &old) == 0 ? (old.st_mode & 0777) : 0600;
    // O_EXCL and O_NOFOLLOW: whatever already stands at a name (a leftover file, a
    // link planted to make us overwrite its target) is never opened; the next name
    // is tried instead.
    for (int attempt = 0; attempt < 100; ++attempt) {
        CUString name;
        if (attempt == 0)
            name.Format("%s.tmp", path);
        else
            name.Format("%s.tmp%d-%d", path, static_cast<int>(getpid()), attempt);
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return Fail(errno);
        fchmod(fd, mode); // the umask must not change the file's mode
        CScopedFd owned(fd);
        m_file = fdopen(fd, "wb");
        if (!m_file) {
            int error = errno;
            owned.Reset();
            Remove(name.c_str());
            return Fail(error);
        }
        owned.Release(); // the stream closes it from now on
        m_writing = true;
        m_error = false;
        m_errno = 0;
        m_target = CUString(path);
        m_temporary = name;
        return 1;
    }
    return Fail(EEXIST);
}

int CUFile::Commit()
{
    if (!m_file || m_temporary.IsEmpty())
        return Fail(EBADF);
    int flushed = Flush();
    int error = m_errno;
    int closed = Close();
    if (!error)
        error = errno;
    if (!flushed || !closed) {
        Abandon();
        return Fail(error);
    }
    if (std::rename(m_temporary.c_str(), m_target.c_str()) != 0) {
        error = errno;
        Abandon();
        return Fail(error);
    }
    // The rename is only lasting once the folder's entry is on the disk. The new file
    // is in place already, so a folder that cannot be synced is no failure of the save.
    std::string folder = m_target.Str();
    auto slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : folder.substr(0, slash));
    const CScopedFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.IsOpen())
        fsync(dir.Get());
    m_temporary.Empty();
    m_target.Empty();
    return 1;
}

int CUFile::IsEOF()
{
    if (!m_file)
        return 1;
    int c = std::fgetc(m_file);
    if (c == EOF)
        return 1;
    std::ungetc(c, m_file);
    return 0;
}

int CUFile::ReadString(CUString& line, const char* delimiters, int /*flag*/)
{
    line.Empty();
    if (!m_file)
        return 0;
    std::string text;
    bool any = false;
    int c;
    while ((c = std::fgetc(m_file)) != EOF) {
        any = true;
        if (c != 0 && std::strchr(delimiters, c))
            break;
        // An endless line must not take endless memory: keep the first MaxLine bytes.
        if (text.size() < MaxLine)
            text.push_back(static_cast<char>(c));
    }
    line = CUString(std::move(text));
    return any ? 1 : 0;
}

int CUFile::Write(const char* format, ...)
{
    if (!m_file || !m_writing) {
        m_error = true;
        return 0;
    }
    va_list args;
    va_start(args, format);
    int written = std::vfprintf(m_file, format, args);
    va_end(args);
    if (written < 0) {
        if (!m_errno)
            m_errno = errno;
        m_error = true;
        return 0;
    }
    return 1;
}

int CUFile::Flush()
{
    if (!m_file)
        return 0;
    if (std::fflush(m_file) != 0 || fsync(fileno(m_file)) != 0) {
        if (!m_errno)
            m_errno = errno;
        m_error = true;
        return 0;
    }
    return 1;
}

int CUFile::Close()
{
    if (!m_file)
        return 0;
    bool failed = m_error || std::ferror(m_file);
    if (std::fclose(m_file) != 0)
        failed = true;
    m_file = nullptr;
    m_error = false;
    m_errno = 0;
    return failed ? 0 : 1;
}

int CUFile::Rename(const char* from, const char* to)
{
    return std::rename(from, to) == 0;
}

int CUFile::Remove(const char* path)
{
    return std::remove(path) == 0;
}

int CUFile::MakeFolders(const char* path)
{
    const std::string text(path);
    for (size_t slash = text.find('/', 1); slash != std::string::npos;
         slash = text.find('/', slash + 1)) {
        if (mkdir(text.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST)
            return 0;
    }
    return 1;
}
