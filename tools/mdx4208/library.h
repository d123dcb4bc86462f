// The client library as the tool uses it: a board handle that closes itself
// and the check that turns a failed call into the tool's error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kor4208.h"

namespace tool {

class KorBoard {
public:
    KorBoard() = default;
    KorBoard(KorBoard&& other) noexcept : board_(other.board_) { other.board_ = nullptr; }
    KorBoard& operator=(KorBoard&& other) noexcept;
    ~KorBoard() { Close(); }

    kor_status Open(uint32_t number, int mode);
    kor_status Close();
    kor_board* get() const { return board_; }
    explicit operator bool() const { return board_ != nullptr; }

private:
    kor_board* board_ = nullptr;
};

// "what: ERR_OUT_OF_RANGE (0xE0000001): <the library's text>"
std::string CallFailure(const std::string& what, kor_status status);
// Throws a failed ToolError for a failure status.
void Check(kor_status status, const std::string& what);
// Opens the board or throws.
KorBoard OpenBoard(uint32_t number, bool privileged);

// "rising"/"falling" (or "1"/"0", the driver's values) to KOR_EDGE_*.
std::optional<uint8_t> ParseEdge(const std::string& text);
const char* EdgeName(uint8_t edge);

}  // namespace tool
