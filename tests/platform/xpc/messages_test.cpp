#include "platform/xpc/messages.h"

#include <gtest/gtest.h>

namespace korvel::platform::xpc {
namespace {

std::string bodyOf(const std::string& frame) {
    return frame.substr(kFrameHeaderSize);
}

TEST(MessagesTest, BodiesRoundTripAndMalformedOnesAreRejected) {
    const auto request =
        decodeRequestBody(bodyOf(encodeRequestFrame({"fetchDataWithShowSystem:reply:", true})));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->selector, "fetchDataWithShowSystem:reply:");
    EXPECT_TRUE(request->argument);
    const std::string withNul("{\0}", 3);
    EXPECT_EQ(decodeReplyBody(bodyOf(encodeReplyFrame(withNul))), std::optional<Reply>(withNul));

    // Empty; selector running past the end; argument not a Boolean; trailing bytes.
    for (const std::string& body : {std::string(), std::string("\5abc\1", 5),
                                    std::string("\1a\2", 3), std::string("\1a\1\0", 4)}) {
        EXPECT_FALSE(decodeRequestBody(body));
    }
    for (const std::string& body : {std::string(), std::string("\x00x", 2), std::string("\x07")}) {
        EXPECT_FALSE(decodeReplyBody(body));
    }
}

TEST(MessagesTest, FrameReaderReassemblesSplitFramesAndRefusesOversizedOnes) {
    const std::string frames =
        encodeReplyFrame(std::string("first")) + encodeReplyFrame(std::nullopt);
    FrameReader reader(1024);
    std::string body;
    std::vector<std::string> bodies;
    for (char byte : frames) { // one byte at a time, the worst a socket can do
        reader.append(&byte, 1);
        while (reader.next(body) == FrameReader::Status::complete) {
            bodies.push_back(body);
        }
    }
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0], std::string("\x01"
                                     "first"));
    EXPECT_EQ(bodies[1], std::string(1, '\0'));

    FrameReader small(16);
    const std::string header("\x00\x00\x00\x11", 4); // 17 bytes announced
    small.append(header.data(), 4);
    EXPECT_EQ(small.next(body), FrameReader::Status::tooLarge);
    FrameReader huge(kDefaultMaxReplyBody);
    huge.append("\xff\xff\xff\xff", 4);
    EXPECT_EQ(huge.next(body), FrameReader::Status::tooLarge);
}

} // namespace
} // namespace korvel::platform::xpc
