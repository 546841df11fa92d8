// Input of a VASP connection: the received bytes go through the request parser, and what it
// reports is carried out here: the PDU file, the part data (in memory, or past its bounds in a
// scratch file), the refusal and, once the request is complete, the kernel request.
//
// The PDU is composed in memory (`output_file::image`) and written to its file in few calls:
// when the image has grown past its bound, when a part's data comes from the scratch file, and
// at the end, after the part count has been filled in.
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/mainloop.h"
#include "mm7/server/mm7_server.h"
#include "mm7/server/mm7_server_internal.h"

namespace {

// Requests without the credentials asked for: a peer can provoke the line at will.
log_limiter unauthenticated_log(10, 5);

bool write_bytes(FILE* stream, const void* data, std::size_t length) {
    return length == 0 || std::fwrite(data, 1, length, stream) == length;
}

// Writes all of the given pieces to fd; false on a write error.
bool write_all(int fd, struct iovec* pieces, int count) {
    while (count > 0) {
        if (pieces->iov_len == 0) {
            ++pieces;
            --count;
            continue;
        }
        ssize_t n = writev(fd, pieces, count);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        for (auto left = static_cast<std::size_t>(n); left > 0;) {
            std::size_t step = std::min(left, pieces->iov_len);
            pieces->iov_base = static_cast<std::uint8_t*>(pieces->iov_base) + step;
            pieces->iov_len -= step;
            left -= step;
            if (pieces->iov_len == 0) {
                ++pieces;
                --count;
            }
        }
    }
    return true;
}

int output_fd(const outgoing_mms_info* info) {
    return fileno(info->output->stream.get());
}

// Writes the image, then `more`, to the PDU file with one call; the image is empty afterwards.
bool write_image(outgoing_mms_info* info, byte_view more = {}) {
    output_file& out = *info->output;
    struct iovec pieces[2] = {{out.image.data(), out.image.size()},
                              {const_cast<std::uint8_t*>(more.data()), more.size()}};
    if (!write_all(output_fd(info), pieces, 2)) {
        return false;
    }
    out.written += out.image.size() + more.size();
    out.image.clear();
    return true;
}

// Copies the current part's data, all of the scratch file up to its position, to the PDU file.
bool copy_scratch(outgoing_mms_info* info) {
    FILE* scratch = info->scratch.get();
    if (std::fflush(scratch) != 0) {
        return false;
    }
    const long length = std::ftell(scratch);
    static std::uint8_t copy_buffer[65536];
    for (off_t offset = 0; offset < static_cast<off_t>(length);) {
        std::size_t want = std::min<std::size_t>(sizeof copy_buffer, length - offset);
        ssize_t n = pread(fileno(scratch), copy_buffer, want, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || !write_image(info, byte_view(copy_buffer, static_cast<std::size_t>(n)))) {
            return false;
        }
        offset += n;
    }
    return true;
}

bool fail(outgoing_mms_info* info, std::string_view status_text) {
    info->failure = status_text;
    return false;
}

bool output_error(outgoing_mms_info* info) {
    log_error("Cannot write output file %s. Errno: %d (%s)", info->output->path.c_str(), errno,
              std::strerror(errno));
    return fail(info, "503 Server error");
}

bool scratch_error(outgoing_mms_info* info) {
    log_error("Cannot write temporary file. Errno: %d (%s)", errno, std::strerror(errno));
    return fail(info, "503 Server error");
}

// A complete multipart request: the part count goes into its octet and the rest of the image
// into the file.  False, with the failure set, when the file cannot be written.
bool finish_pdu(outgoing_mms_info* info) {
    output_file& out = *info->output;
    const auto count = static_cast<std::uint8_t>(info->parser.part_count() & 0xFF);
    const auto at = static_cast<std::uint64_t>(out.count_offset);
    if (at >= out.written) {
        out.image[at - out.written] = count;
    } else if (pwrite(output_fd(info), &count, 1, static_cast<off_t>(at)) != 1) {
        return output_error(info);
    }
    if (!write_image(info)) {
        return output_error(info);
    }
    out.image = buffer();
    info->part_store.release();
    return true;
}

}  // namespace

// ---- part data in memory ----

std::size_t part_memory::total_ = 0;

bool part_memory::append(byte_view data) {
    const std::size_t need = bytes_.size() + data.size();
    if (need > MM7_PART_IN_MEMORY) {
        return false;
    }
    const std::size_t had = bytes_.capacity();
    if (need > had) {
        std::size_t room =
            std::min(std::max({need, 2 * had, std::size_t{4096}}), MM7_PART_IN_MEMORY);
        if (total_ - had + room > MM7_PART_MEMORY_TOTAL) {
            return false;
        }
        bytes_.reserve(room);
        total_ = total_ - had + bytes_.capacity();
    }
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    return true;
}

void part_memory::release() {
    total_ -= bytes_.capacity();
    buffer().swap(bytes_);
}

// ---- what the request parser reports ----

void outgoing_mms_info::note(std::string_view line) {
    const std::string vasp = mm7_vasp_label(*this);
    log_printf("%.*s%s", static_cast<int>(line.size()), line.data(), vasp.c_str());
}

std::optional<std::string> outgoing_mms_info::open_pdu(bool mm1_mode) {
    if (!mm7_vasp_submission_allowed(*this, mm1_mode)) {
        return std::nullopt;
    }
    if (CreateOutputFile(this) == nullptr) {
        log_error("%sCannot create output file %s. Errno: %d (%s)", mm1_mode ? "MM1 MODE: " : "",
                  output->path.c_str(), errno, std::strerror(errno));
        failure = "503 Server error";
        return std::nullopt;
    }
    return output->transaction_id;
}

bool outgoing_mms_info::pdu_head(byte_view head) {
    output->image.insert(output->image.end(), head.begin(), head.end());
    output->count_offset = static_cast<std::int64_t>(output->image.size());
    output->image.push_back(0);  // the part count, filled in when the last part has come
    return true;
}

// Part data stays in memory while it fits, and otherwise goes to the scratch file (the part's
// data starts at its beginning).
bool outgoing_mms_info::part_data(byte_view data) {
    if (!part_in_scratch) {
        if (part_store.append(data)) {
            return true;
        }
        if (scratch) {
            std::rewind(scratch.get());
        } else {
            scratch.reset(std::tmpfile());
            if (!scratch) {
                log_error("Cannot create temporary file");
                return fail(this, "503 Server Error");
            }
        }
        part_in_scratch = true;
        const buffer& held_data = part_store.bytes();
        bool moved = write_bytes(scratch.get(), held_data.data(), held_data.size());
        part_store.release();
        if (!moved) {
            return scratch_error(this);
        }
    }
    return write_bytes(scratch.get(), data.data(), data.size()) || scratch_error(this);
}

bool outgoing_mms_info::part_end(byte_view entry_header) {
    output_file& out = *output;
    out.image.insert(out.image.end(), entry_header.begin(), entry_header.end());
    if (part_in_scratch) {
        part_in_scratch = false;
        return (write_image(this) && copy_scratch(this)) || output_error(this);
    }
    const buffer& data = part_store.bytes();
    if (out.image.size() + data.size() <= MM7_PDU_IMAGE) {
        out.image.insert(out.image.end(), data.begin(), data.end());
    } else if (!write_image(this, data)) {
        return output_error(this);
    }
    part_store.clear();
    return true;
}

void outgoing_mms_info::send_continue() {
    log_printf("Sending 100 Continue");
    mm7_socket_write(fd, std::string_view("HTTP/1.1 100 Continue\r\n\r\n"));
}

bool outgoing_mms_info::mm1_data(byte_view data) {
    return write_bytes(output->stream.get(), data.data(), data.size()) || output_error(this);
}

// ---- the socket ----

namespace {

// One read from the socket, and what the parser makes of it.
void take_input(int fd, int flags, outgoing_mms_info* info) {
    log_printf("HandleClientInput start %d", fd);
    static std::uint8_t receive_buffer[MM7_RECEIVE_SIZE];
    ssize_t n = mm7_socket_read(fd, receive_buffer);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    const bool complete = info->parser.outcome() != parse_outcome::more;
    if (n == 0 && complete && (flags & MAINLOOP_ERR) == 0) {
        // The request is complete: the end of its input is a half-close, and the answer is
        // still wanted.
        if (!info->input_closed) {
            log_printf("Client %d closed its sending side after the request", fd);
            info->input_closed = true;
            mainloop_set_fd_flags(fd, mm7_client_flags(info));
        }
        return;
    }
    if (n < 1) {
        log_printf("Client disconnected %d", fd);
        info->peer_gone = true;
        CloseClient(info);
        return;
    }
    if (complete) {
        mm7_account_memory(info);  // waiting for the confirmation; further input is ignored
        return;
    }
    info->last_progress = ticks_now();
    switch (info->parser.feed(byte_view(receive_buffer, static_cast<std::size_t>(n)))) {
        case parse_outcome::more:
            break;
        case parse_outcome::complete:
            if (!info->parser.mm1_mode() && !finish_pdu(info)) {
                SendHttpError(info, std::string(info->failure));
                return;
            }
            SendRequestToKernel(
                info, info->parser.mm1_mode() ? info->parser.mm1_bytes() : info->output->written);
            if (!mm7_client_exists(info)) {
                return;
            }
            break;
        case parse_outcome::refused:
            // The record goes with the reply.
            if (info->parser.fault_code() != 0) {
                SendMM7Fault(info, info->parser.fault_code(), info->parser.refusal());
            } else if (info->parser.refusal() == MM7_UNAUTHORIZED ||
                       info->parser.refusal() == MM7_FORBIDDEN) {
                const std::string_view problem = info->parser.auth_problem();
                const std::string_view status = info->parser.refusal();
                unauthenticated_log.printf("Client %d sent %.*s, answering %.*s", fd,
                                           static_cast<int>(problem.size()), problem.data(),
                                           static_cast<int>(status.size()), status.data());
                SendHttpError(info, std::string(status),
                              status == MM7_UNAUTHORIZED ? MM7_AUTH_CHALLENGE : "");
            } else {
                SendHttpError(info, std::string(info->parser.refusal()));
            }
            return;
        case parse_outcome::stopped:
            if (info->fault_code != 0) {
                const std::string retry =
                    info->retry_after != 0
                        ? concat({"Retry-After: ", std::to_string(info->retry_after), "\r\n"})
                        : std::string();
                SendMM7Fault(info, info->fault_code, info->fault_text, retry);
            } else {
                SendHttpError(info, std::string(info->failure));
            }
            return;
    }
    mm7_account_memory(info);
}

}  // namespace

int HandleClientInput(int fd, int flags, outgoing_mms_info* info) {
    if (mm7_socket_handshaking(fd)) {
        if (!mm7_socket_handshake(info)) {
            return 0;
        }
        flags |= MAINLOOP_IN;  // the request may have come with the end of the handshake
    }
    const int tls_wants = mm7_socket_tls_wants(fd);
    if (((flags & MAINLOOP_OUT) != 0 || (tls_wants & MAINLOOP_IN) != 0) && !mm7_socket_flush(fd)) {
        log_printf("Client disconnected %d", fd);
        info->peer_gone = true;
        CloseClient(info);
        return 0;
    }
    if (flags == MAINLOOP_OUT && (tls_wants & MAINLOOP_OUT) == 0) {
        return 0;  // only writable: nothing to read
    }
    // Input held inside TLS is taken at once: the socket will not signal it.
    do {
        take_input(fd, flags, info);
    } while (mm7_client_exists(info) && !info->input_closed && mm7_socket_buffered(fd));
    return 0;
}
