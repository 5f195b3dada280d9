#include "platform/xpc/messages.h"

#include <gtest/gtest.h>

namespace korvel::platform::xpc {
namespace {

std::string bodyOf(const std::string& frame) {
    return frame.substr(kFrameHeaderSize);
}

TEST(MessagesTest, RequestsAndRepliesRoundTripWithNilDistinctFromEmpty) {
    const auto request =
        decodeRequestBody(bodyOf(encodeRequestFrame({"fetchDataWithShowSystem:reply:", true})));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->selector, "fetchDataWithShowSystem:reply:");
    EXPECT_TRUE(request->argument);

    const auto nil = decodeReplyBody(bodyOf(encodeReplyFrame(std::nullopt)));
    const auto empty = decodeReplyBody(bodyOf(encodeReplyFrame(std::string())));
    const auto data = decodeReplyBody(bodyOf(encodeReplyFrame(std::string("{\0}", 3))));
    ASSERT_TRUE(nil && empty && data);
    EXPECT_FALSE(nil->has_value());
    ASSERT_TRUE(empty->has_value());
    EXPECT_EQ(**empty, "");
    EXPECT_EQ(**data, std::string("{\0}", 3));
}

TEST(MessagesTest, MalformedBodiesAreRejected) {
    EXPECT_FALSE(decodeRequestBody(""));
    EXPECT_FALSE(decodeRequestBody(std::string("\x05"
                                               "abc\x01",
                                               5))); // selector runs past the end
    EXPECT_FALSE(decodeRequestBody(std::string("\x01"
                                               "a\x02",
                                               3))); // argument is not a Boolean
    EXPECT_FALSE(decodeRequestBody(std::string("\x01"
                                               "a\x01\x00",
                                               4))); // trailing bytes
    EXPECT_FALSE(decodeReplyBody(""));
    EXPECT_FALSE(decodeReplyBody(std::string("\x00x", 2)));
    EXPECT_FALSE(decodeReplyBody("\x07"));
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
