// Ownership of a C stdio stream.
#pragma once

#include <cstdio>
#include <memory>

struct file_closer {
    void operator()(FILE* f) const noexcept {
        if (f != nullptr) {
            std::fclose(f);
        }
    }
};
using unique_file = std::unique_ptr<FILE, file_closer>;
