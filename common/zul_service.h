// What an installed program learns from its surroundings: where its data lies.
#pragma once

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
