// PLACEHOLDER: not yet implemented.
#include "app/OrloDlg.h"

namespace orlo {

void COrloDlg::OnTimer(uintptr_t) {}

uint32_t COrloDlg::CountdownSeconds(uint32_t s) { return (s / 2048 + 1) / 10 + 1; }

}  // namespace orlo
