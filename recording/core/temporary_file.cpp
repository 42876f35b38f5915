// New files under names that nothing else uses: beside the file that they are to become, so
// that a rename puts them in place on the same file system.
#include "recording/core/platform_file.h"

#include <cerrno>
#include <ctime>

namespace edf {

bool edf_create_temporary(const std::string &prefix, std::string *name) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned counter = 0;
    uint64_t seed = static_cast<uint64_t>(std::time(nullptr)) ^ (edf_process_number() << 20) ^
                    (static_cast<uint64_t>(++counter) << 40) ^ reinterpret_cast<uintptr_t>(name);
    for (int attempt = 0; attempt < 100; attempt++) {
        *name = prefix;
        for (int i = 0; i < 6; i++) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            name->push_back(letters[(seed >> 33) % (sizeof letters - 1)]);
        }
        const int fd = edf_open_file(name->c_str(), edf_open_how::create_new);
        if (fd >= 0) {
            edf_close_file(fd);
            return true;
        }
        if (errno != EEXIST && errno != EINTR) {
            break;
        }
    }
    name->clear();
    return false;
}

} // namespace edf
