// PLACEHOLDER: not yet implemented.
#include "app/OrloDlg.h"

namespace orlo {

void COrloDlg::OnPortDropDown() {}

void COrloDlg::OnPortSelChange() {}

void COrloDlg::OnOpenPort() {}

void COrloDlg::OnClosePort() {}

}  // namespace orlo
