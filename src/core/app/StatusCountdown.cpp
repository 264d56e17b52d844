// PLACEHOLDER: not yet implemented.
#include "app/OrloDlg.h"

namespace orlo {

void COrloDlg::OnTimer(uintptr_t) {}



}  // namespace orlo
