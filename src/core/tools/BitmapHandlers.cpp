// The two bitmap converter buttons: a bitmap file becomes a C header next to it, and the
// bitmap is drawn once into the client area as a preview.
#include "app/OrloDlg.h"
#include "tools/BitmapConverter.h"

namespace orlo {

void COrloDlg::OnBmp1Bit() {
    ConvertBitmap(BitmapVariantOf(BitmapKind::Mono));
}

void COrloDlg::OnBmp4Bit() {
    ConvertBitmap(BitmapVariantOf(BitmapKind::Gray));
}

void COrloDlg::ConvertBitmap(const BitmapVariant& variant) {
    FileDialogRequest request;
    request.open = true;
    request.flags = 0;
    request.filter = std::string(kBitmapFilter);
    request.ownedByDialog = false;
    const FileDialogResult chosen = m_wnd->DoFileDialog(request);
    if (!chosen.ok) return;

    m_wnd->BeginWaitCursor();
    const BitmapFileResult result = ConvertBitmapFile(
        chosen.fullPath, chosen.fileName, variant,
        [this](const std::string& text) { AfxMessageBox(text, MB_ICONEXCLAMATION); });
    m_wnd->EndWaitCursor();
    if (!result.converted) return;
    UpdateData(false);
    if (!result.written) return;

    // Drawn once; the next repaint of that area removes it.
    m_wnd->FillSolidRect(kPreviewFillX, kPreviewFillY, kPreviewWidth, kPreviewHeight,
                         kPreviewFillColour);
    m_wnd->DrawBitmapFile(chosen.fullPath, variant.previewX, variant.previewY, kPreviewWidth,
                          kPreviewHeight);
}

}  // namespace orlo
