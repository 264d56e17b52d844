// PLACEHOLDER: not yet implemented.
#include "app/OrloDlg.h"

namespace orlo {

void COrloDlg::SendFrame(int) {}

void COrloDlg::OnTestTx() {}

}  // namespace orlo
