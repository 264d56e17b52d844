// PLACEHOLDER: not yet implemented.
#include "app/OrloDlg.h"

namespace orlo {

intptr_t COrloDlg::OnCommRx(uintptr_t, intptr_t) { return 1; }

}  // namespace orlo
