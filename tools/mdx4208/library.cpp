#include "library.h"

#include "names.h"
#include "tool_error.h"

namespace tool {

KorBoard& KorBoard::operator=(KorBoard&& other) noexcept
{
    if (this != &other) {
        Close();
        board_ = other.board_;
        other.board_ = nullptr;
    }
    return *this;
}

kor_status KorBoard::Open(uint32_t number, int mode)
{
    Close();
    kor_board* board = nullptr;
    kor_status status = kor_open(number, mode, &board);
    if (status >= 0)
        board_ = board;
    return status;
}

kor_status KorBoard::Close()
{
    if (!board_)
        return KOR_OK;
    kor_status status = kor_close(board_);
    board_ = nullptr;
    return status;
}

std::string CallFailure(const std::string& what, kor_status status)
{
    return what + ": " + StatusText(status) + ": " + kor_status_text(status);
}

void Check(kor_status status, const std::string& what)
{
    if (status < 0)
        throw Failed(CallFailure(what, status));
}

KorBoard OpenBoard(uint32_t number, bool privileged)
{
    KorBoard board;
    Check(board.Open(number, privileged ? KOR_OPEN_PRIVILEGED : KOR_OPEN_SHARED),
          std::string("opening board ") + std::to_string(number) + (privileged ? " (privileged)" : " (shared)"));
    return board;
}

std::optional<uint8_t> ParseEdge(const std::string& text)
{
    if (text == "rising" || text == "1")
        return static_cast<uint8_t>(KOR_EDGE_RISING);
    if (text == "falling" || text == "0")
        return static_cast<uint8_t>(KOR_EDGE_FALLING);
    return std::nullopt;
}

const char* EdgeName(uint8_t edge) { return edge == KOR_EDGE_RISING ? "rising" : "falling"; }

}  // namespace tool
