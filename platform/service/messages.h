#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvel::platform::service {

// One message: a selector and one Boolean argument.
struct Request {
    std::string selector;
    bool argument = false;
};

// Optional data: no value is nil, which differs from empty data.
using Reply = std::optional<std::string>;

// The service's first byte on every connection it accepts. A socket that ends
// before it was never served (see Connection), so its requests may be resent.
inline constexpr char kAcceptGreeting = 'K';

// Frames are a 4-byte big-endian body length followed by the body.
inline constexpr size_t kFrameHeaderSize = 4;
inline constexpr uint32_t kMaxRequestBody = 1024;
// The largest real reply seen, 19,900 sockets of one process, was 2.6 MB; six
// times that (some 120,000 socket rows) is still taken. An engine holds a
// reading several times over while it merges it (decoded rows, the model being
// replaced and its successor), so a process posing as the service with a
// reply at the limit costs it some 150 MB at most, not gigabytes.
inline constexpr uint32_t kDefaultMaxReplyBody = 16u << 20;

std::string encodeRequestFrame(const Request& request);
std::string encodeReplyFrame(const Reply& reply);

// Length announced by a frame header (the first four bytes of header).
uint32_t frameBodyLength(std::string_view header);

std::optional<Request> decodeRequestBody(std::string_view body);
// No value when the body is malformed (as opposed to a nil reply). The data
// is the body's own bytes, moved rather than copied.
std::optional<Reply> decodeReplyBody(std::string body);

// Splits complete frames off the front of a receive buffer.
class FrameReader {
public:
    explicit FrameReader(uint32_t maxBody) : maxBody_(maxBody) {}

    // A frame is gathered in one allocation of its size (a reply can be
    // megabytes), not grown by doubling.
    void append(const char* data, size_t size);

    enum class Status { complete, needMore, tooLarge };
    // On complete, body holds the next frame's body and it is consumed; a
    // frame that is all the reader holds is moved there, not copied.
    Status next(std::string& body);
    // The body length the next frame announces (0 before its header).
    uint32_t announcedLength() const;

private:
    uint32_t maxBody_;
    std::string buffer_;
    size_t offset_ = 0;
};

} // namespace korvel::platform::service
