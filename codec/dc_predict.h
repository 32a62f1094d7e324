// Version 2 intra DC prediction, shared by the rewriter's reader and our
// picture coder: from the left or the upper neighbour, whichever side the
// gradient through the upper-left one is flatter across.
#pragma once

#pragma GCC visibility push(hidden)

constexpr int dc_predict_v2(int left, int upper_left, int upper) {
    const int across = left - upper_left, down = upper_left - upper;
    return (across < 0 ? -across : across) <= (down < 0 ? -down : down) ? upper : left;
}

#pragma GCC visibility pop
