#pragma once

#include "base/CUString.h"

#include <cstdio>

// A text file read line by line or written printf-style. Every operation gives
// non-zero for success and 0 for failure; a write failure is remembered until Close.
class CUFile
{
public:
    CUFile() = default;
    CUFile(const CUFile&) = delete;
    CUFile& operator=(const CUFile&) = delete;
    ~CUFile();

    // For reading a regular file; anything else (a folder, a FIFO) fails with
    // OpenErrno() EISDIR or EINVAL.
    int Open(const char* path, int flag = 1);
    int OpenErrno() const { return m_openErrno; } // why the last Open failed, 0 if it did not
    int Create(const char* path, int flag = 1);   // for writing, starts empty
    // For writing a new version of `path`: a fresh temporary file beside it, created
    // exclusively and never through a symbolic link, with the mode of the file it
    // replaces (0600 for a new one). Commit puts it in place of `path`.
    int CreateReplacing(const char* path);
    // Flushes, fsyncs and closes the temporary file, renames it over the path given to
    // CreateReplacing and fsyncs the folder. On failure the temporary file is removed
    // and the old file stays as it was.
    int Commit();
    // The reason of the last failure (the system's text for errno), empty when none.
    const CUString& ErrorText() const { return m_errorText; }
    int IsOpen() const { return m_file != nullptr; }
    int IsEOF();

    // Reads up to the next character of `delimiters`, which is consumed and not kept.
    // Lines longer than MaxLine are cut there and the rest of the line is skipped.
    int ReadString(CUString& line, const char* delimiters, int flag = 1);

    int Write(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Pushes written data to the disk (fflush and fsync).
    int Flush();
    // Closes the file. Gives 0 when any write, the flush or the close itself failed.
    int Close();

    static int Rename(const char* from, const char* to);
    static int Remove(const char* path);
    // Makes every missing folder above `path`, each for this user only.
    static int MakeFolders(const char* path);

    static constexpr size_t MaxLine = 64 * 1024;

private:
    FILE* m_file = nullptr;
    bool m_writing = false;
    bool m_error = false;
    CUString m_target;    // what Commit replaces; empty unless CreateReplacing opened
    CUString m_temporary; // the file being written for it
    CUString m_errorText;

    int m_errno = 0; // the first failure's errno, kept until Close
    int m_openErrno = 0;

    int Fail(int error);
    void Abandon();
};
