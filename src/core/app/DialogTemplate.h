// The layout of the main window and of the About box as constant data: every control with its
// id, kind, caption, visibility and place in dialog units, in tab order, together with the
// decorations (group boxes, labels, the picture) that carry no id. Front-ends build their
// windows from these tables; the dialog hides the controls marked hidden when it starts.
#pragma once

#include <cstdint>
#include <span>

namespace orlo {

constexpr int IDC_STATIC = -1;  // id of a decoration: no handler, no data exchange

enum class ControlKind : uint8_t {
    PushButton,
    DefPushButton,  // the default button of a box (Enter presses it)
    ComboBox,
    Edit,
    ListBox,
    ProgressBar,
    GroupBox,
    Label,    // static text
    Picture,  // static bitmap, `resource` names it
    Icon,     // static icon, `resource` names it
};

// Style bits of a control, as far as a front-end needs them to draw it.
enum ControlStyle : unsigned {
    kStyleNone = 0,
    kStyleReadOnly = 1u << 0,  // edit: the user cannot type into it
    // Edit, list box, progress bar: drawn with a border. A control without it has none; a
    // read-only edit without a border reads as plain text on the dialog's background.
    kStyleBorder = 1u << 1,
    kStyleRightAlign = 1u << 2,    // edit: text right-aligned
    kStyleAutoHScroll = 1u << 3,   // edit: text scrolls sideways instead of wrapping
    kStyleDropDown = 1u << 4,      // combo box: list drops down under an edit field
    kStyleVScroll = 1u << 5,       // vertical scroll bar
    kStyleHScroll = 1u << 6,       // horizontal scroll bar
    kStyleScrollAlways = 1u << 7,  // list box: scroll bars shown even when not needed
    kStyleUnsorted = 1u << 8,      // list box: entries stay in the order they were added
    kStyleNotify = 1u << 9,        // list box: reports clicks to the dialog
    kStyleSmooth = 1u << 10,       // progress bar: continuous bar instead of blocks
};

struct ControlTemplate {
    int id;  // control id, IDC_STATIC for decorations
    ControlKind kind;
    const char* caption;  // UTF-8; "" when the control has none
    bool shown;           // false: created without the visible style and never shown
    int x, y, w, h;       // dialog units
    unsigned style;       // ControlStyle bits
    int resource;         // bitmap or icon resource of a Picture or Icon, else 0
};

struct DialogTemplate {
    int id;               // IDD_ORLO_DIALOG or IDD_ABOUTBOX
    const char* caption;  // caption of the template (the main window's is replaced at start)
    int width, height;    // dialog units
    const char* fontName;
    int fontPoints;
    std::span<const ControlTemplate> controls;  // in tab order
};

// The main window: 37 controls (ids 1000 to 1036) and 9 decorations, in tab order.
extern const DialogTemplate kMainDialogTemplate;
// The About box: the application icon, the version text and its OK button.
extern const DialogTemplate kAboutBoxTemplate;

// String resource IDS_ABOUTBOX: the system-menu item that opens the About box.
constexpr const char* kAboutMenuText = "Orlo 정보(&A)...";

// The main window's control with this id, or nullptr (decorations are not found by id).
const ControlTemplate* FindControlTemplate(int id);

}  // namespace orlo
