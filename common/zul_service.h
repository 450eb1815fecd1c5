// What an installed program learns from its surroundings: where its data lies
// and whether its standard error already goes to the journal.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

// Directory of the YANG modules: KEM_YANG_REL_DIR from the program's own
// directory when it is there (an installed tree under any prefix), otherwise
// KEM_YANG_DIR (the configured prefix). Both come from the install rules.
inline std::string zul_util_default_yang_dir()
{
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const std::filesystem::path dir = (exe.parent_path() / KEM_YANG_REL_DIR).lexically_normal();
        if (std::filesystem::is_directory(dir, ec)) {
            return dir.string();
        }
    }
    return KEM_YANG_DIR;
}

// True when standard error is the journal stream a service manager set up (it
// names that stream's device and inode in JOURNAL_STREAM): the syslog lines
// reach the journal anyway, so a copy on standard error would be a duplicate.
inline bool zul_util_stderr_is_journal()
{
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long dev = 0;
    unsigned long ino = 0;
    struct stat st {
    };
    return stream != nullptr && sscanf(stream, "%lu:%lu", &dev, &ino) == 2 &&
           fstat(STDERR_FILENO, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}
