// PLACEHOLDER: not yet implemented.
#include "app/OrloDlg.h"

namespace orlo {

void COrloDlg::OnProgramVoice() {}

void COrloDlg::OnProgramMap() {}

void COrloDlg::OnProgramApplication() {}

void COrloDlg::OnProgramUser() {}

void COrloDlg::StartProgramming(const FlashRegion&) {}

}  // namespace orlo
