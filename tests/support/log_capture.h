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
        std::fclose(file_);
    }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    // Everything logged so far.
    std::string text() const {
        log_flush();
        std::fseek(file_, 0, SEEK_END);  // the daemon writes to the descriptor, past stdio
        std::string out(static_cast<std::size_t>(std::ftell(file_)), '\0');
        std::rewind(file_);
        out.resize(std::fread(out.data(), 1, out.size(), file_));
        std::fseek(file_, 0, SEEK_END);
        return out;
    }
    bool contains(const std::string& needle) const {
        return text().find(needle) != std::string::npos;
    }
    void clear() {
        log_flush();
        (void)!std::freopen(nullptr, "w+", file_);
    }

  private:
    FILE* previous_;
    FILE* file_;
};
