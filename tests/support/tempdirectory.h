/*++

Module Name:

    tempdirectory.h

Abstract:

    A directory of a test's own under /tmp (short, so that a Unix socket
    path inside it fits), removed with everything in it when the test
    ends.

--*/

#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace tarntest {

class TempDirectory {
public:
    explicit TempDirectory(const std::string &prefix)
    {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) != nullptr) {
            path_ = name.data();
        }
    }

    ~TempDirectory()
    {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }

    TempDirectory(const TempDirectory &) = delete;
    TempDirectory &operator=(const TempDirectory &) = delete;

    // Empty when the directory could not be made.
    const std::string &Path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace tarntest
