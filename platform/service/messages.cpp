#include "platform/service/messages.h"

namespace korvel::platform::service {
namespace {

constexpr char kNilReply = 0;
constexpr char kDataReply = 1;

std::string withHeader(std::string body) {
    const auto length = static_cast<uint32_t>(body.size());
    std::string frame;
    frame.reserve(kFrameHeaderSize + body.size());
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame += static_cast<char>((length >> shift) & 0xFF);
    }
    frame += body;
    return frame;
}

} // namespace

std::string encodeRequestFrame(const Request& request) {
    std::string body;
    body += static_cast<char>(request.selector.size() & 0xFF);
    body += request.selector.substr(0, 255);
    body += static_cast<char>(request.argument ? 1 : 0);
    return withHeader(std::move(body));
}

std::string encodeReplyFrame(const Reply& reply) {
    if (!reply) {
        return withHeader(std::string(1, kNilReply));
    }
    std::string body;
    body.reserve(1 + reply->size());
    body += kDataReply;
    body += *reply;
    return withHeader(std::move(body));
}

uint32_t frameBodyLength(std::string_view header) {
    const auto byte = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(header[i]));
    };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

std::optional<Request> decodeRequestBody(std::string_view body) {
    if (body.empty()) {
        return std::nullopt;
    }
    const size_t selectorLength = static_cast<unsigned char>(body[0]);
    if (body.size() != 1 + selectorLength + 1) {
        return std::nullopt;
    }
    const char argument = body[1 + selectorLength];
    if (argument != 0 && argument != 1) {
        return std::nullopt;
    }
    return Request{std::string(body.substr(1, selectorLength)), argument == 1};
}

std::optional<Reply> decodeReplyBody(std::string body) {
    if (body.empty()) {
        return std::nullopt;
    }
    if (body[0] == kNilReply) {
        return body.size() == 1 ? std::optional<Reply>(Reply{}) : std::nullopt;
    }
    if (body[0] == kDataReply) {
        body.erase(0, 1);
        return Reply{std::move(body)};
    }
    return std::nullopt;
}

void FrameReader::append(const char* data, size_t size) {
    buffer_.append(data, size);
    if (const uint32_t length = announcedLength(); length > 0 && length <= maxBody_) {
        buffer_.reserve(offset_ + kFrameHeaderSize + length);
    }
}

uint32_t FrameReader::announcedLength() const {
    if (buffer_.size() - offset_ < kFrameHeaderSize) {
        return 0;
    }
    return frameBodyLength(std::string_view(buffer_).substr(offset_));
}

FrameReader::Status FrameReader::next(std::string& body) {
    const size_t available = buffer_.size() - offset_;
    if (available < kFrameHeaderSize) {
        return Status::needMore;
    }
    const uint32_t length = announcedLength();
    if (length > maxBody_) {
        return Status::tooLarge;
    }
    if (available - kFrameHeaderSize < length) {
        return Status::needMore;
    }
    if (offset_ == 0 && available == kFrameHeaderSize + length) {
        body = std::move(buffer_);
        body.erase(0, kFrameHeaderSize);
        buffer_.clear();
        return Status::complete;
    }
    body.assign(buffer_, offset_ + kFrameHeaderSize, length);
    offset_ += kFrameHeaderSize + length;
    if (offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
    } else if (offset_ > (1u << 20)) {
        buffer_.erase(0, offset_);
        offset_ = 0;
    }
    return Status::complete;
}

} // namespace korvel::platform::service
