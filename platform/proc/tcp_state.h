#pragma once

#include <cstdint>

namespace korvel::platform::proc {

// Linux numbers its TCP states 1 (established) to 12 (new-syn-recv, a request
// socket) plus 13 for sockets that are bound but neither listening nor
// connected. The reply speaks the BSD numbering: 0 closed, 1 listen,
// 2 syn-sent, 3 syn-received, 4 established, 5 close-wait, 6 fin-wait-1,
// 7 closing, 8 last-ack, 9 fin-wait-2, 10 time-wait. Unknown states read as
// closed. This is the only place the two numberings meet.
constexpr int32_t translateTcpState(unsigned linuxState) {
    constexpr int32_t kBsdState[] = {
        0,  // 0: unused
        4,  // 1: ESTABLISHED
        2,  // 2: SYN_SENT
        3,  // 3: SYN_RECV
        6,  // 4: FIN_WAIT1
        9,  // 5: FIN_WAIT2
        10, // 6: TIME_WAIT
        0,  // 7: CLOSE
        5,  // 8: CLOSE_WAIT
        8,  // 9: LAST_ACK
        1,  // 10: LISTEN
        7,  // 11: CLOSING
        3,  // 12: NEW_SYN_RECV
        0,  // 13: BOUND_INACTIVE
    };
    return linuxState < sizeof kBsdState / sizeof kBsdState[0] ? kBsdState[linuxState] : 0;
}

} // namespace korvel::platform::proc
