// PLACEHOLDER: not yet implemented.
#include "app/OrloDlg.h"

namespace orlo {

void COrloDlg::OnAck() {}

void COrloDlg::OnNak() {}

void COrloDlg::BuildBlockFrame(uint8_t) {}

uint8_t COrloDlg::ProgressPercent(uint32_t o, uint32_t s) { return s ? static_cast<uint8_t>(o * 100u / s > 100 ? 100 : o * 100u / s) : 100; }

}  // namespace orlo
namespace orlo { uint32_t COrloDlg::CountdownSeconds(uint32_t s) { return (s / 2048 + 1) / 10 + 1; } }
