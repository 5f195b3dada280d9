#include "fuzz/fuzz_targets.h"
#include "platform/service/messages.h"

#include <algorithm>
#include <vector>

namespace korvel::fuzz {
namespace {

using platform::service::FrameReader;

struct Split {
    std::vector<std::string> bodies;
    FrameReader::Status last = FrameReader::Status::needMore;
};

// The frames of a whole stream, read the obvious way.
Split splitWhole(std::string_view stream, uint32_t maxBody) {
    Split split;
    while (stream.size() >= platform::service::kFrameHeaderSize) {
        const uint32_t length = platform::service::frameBodyLength(stream);
        if (length > maxBody) {
            split.last = FrameReader::Status::tooLarge;
            return split;
        }
        if (stream.size() - platform::service::kFrameHeaderSize < length) {
            break;
        }
        split.bodies.emplace_back(stream.substr(platform::service::kFrameHeaderSize, length));
        stream.remove_prefix(platform::service::kFrameHeaderSize + length);
    }
    return split;
}

std::string checkBody(const std::string& body) {
    if (const auto request = platform::service::decodeRequestBody(body)) {
        if (platform::service::encodeRequestFrame(*request).substr(
                platform::service::kFrameHeaderSize) != body) {
            return "a request read back is written differently";
        }
    }
    if (const auto reply = platform::service::decodeReplyBody(body)) {
        if (platform::service::encodeReplyFrame(*reply).substr(
                platform::service::kFrameHeaderSize) != body) {
            return "a reply read back is written differently";
        }
    }
    return {};
}

} // namespace

// The first byte picks the body limit and how the stream is cut into reads;
// the reader must find the same frames however the bytes arrive.
std::string frameReader(std::string_view input) {
    if (input.empty()) {
        return {};
    }
    const auto control = static_cast<unsigned char>(input[0]);
    const std::string_view stream = input.substr(1);
    const uint32_t maxBody = control & 0x80 ? platform::service::kMaxRequestBody : 64;
    const Split expected = splitWhole(stream, maxBody);

    FrameReader reader(maxBody);
    Split actual;
    uint32_t random = control | 1u;
    size_t offset = 0;
    std::string body;
    while (actual.last != FrameReader::Status::tooLarge) {
        random = random * 1103515245u + 12345u;
        const size_t chunk = std::min<size_t>(stream.size() - offset, 1 + (random >> 16) % 9);
        reader.append(stream.data() + offset, chunk);
        offset += chunk;
        for (;;) {
            actual.last = reader.next(body);
            if (actual.last != FrameReader::Status::complete) {
                break;
            }
            actual.bodies.push_back(body);
        }
        if (offset == stream.size()) {
            break;
        }
    }
    if (actual.bodies != expected.bodies) {
        return "the frames depend on how the stream was cut";
    }
    if ((actual.last == FrameReader::Status::tooLarge) !=
        (expected.last == FrameReader::Status::tooLarge)) {
        return "an oversized frame was missed or invented";
    }
    for (const auto& frame : actual.bodies) {
        if (auto broken = checkBody(frame); !broken.empty()) {
            return broken;
        }
    }
    return {};
}

} // namespace korvel::fuzz
