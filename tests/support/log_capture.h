// Test helper: points the daemon's log at a temporary file and reads it back.
#pragma once

#include <cstdio>
#include <string>

#include "core/log.h"

class log_capture {
  public:
    log_capture() : previous_(log_file), file_(std::tmpfile()) {
        log_flush();
        log_file = file_;
    }
    ~log_capture() {
        log_flush();
        log_file = previous_;
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    // Everything logged so far.
    std::string text() const {
        std::string out;
        log_flush();
        long end = std::ftell(file_);
        std::rewind(file_);
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0) {
            out.append(chunk, n);
        }
        std::fseek(file_, end, SEEK_SET);
        return out;
    }
    bool contains(const std::string& needle) const {
        return text().find(needle) != std::string::npos;
    }
    void clear() {
        log_flush();
        std::rewind(file_);
        (void)!std::freopen(nullptr, "w+", file_);
    }

  private:
    FILE* previous_;
    FILE* file_;
};
