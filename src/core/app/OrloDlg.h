// COrloDlg: the main dialog as a toolkit-neutral controller. It holds all state of the
// programmer (port, protocol buffers and counters, the staging buffer, the bound texts and
// numbers) and talks to the screen only through the window layer (IWindow). Its handlers are
// implemented in the folder of the subsystem they belong to.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "app/ByteArray.h"
#include "app/Controls.h"
#include "app/OutputFile.h"
#include "app/Resource.h"
#include "app/Window.h"
#include "protocol/Protocol.h"
#include "protocol/ReadBackCompare.h"
#include "protocol/ReplyTrust.h"
#include "serial/Comm.h"
#include "serial/PortTable.h"
#include "serial/SerialTransport.h"

namespace orlo {

struct FlashRegion;
struct ReadBackRow;
struct BitmapVariant;

// What the dialog is given by its front-end. Nothing here is global: two dialogs may run side
// by side, each with its own window and port.
struct OrloEnvironment {
    IWindow* window = nullptr;
    ISerialBackend* serial = nullptr;
    IPortTable* ports = nullptr;
    std::function<std::time_t()> now;  // wall clock for log stamps; std::time when empty
    // Sees every complete frame before it is routed to its consumer, and may take it away
    // (returns false): the run layer keeps replies that answer nothing of the run from driving
    // it, and holds a reply until the alignment of the line is proven (RouteFrame then routes
    // it). Empty: every frame is routed.
    std::function<bool(const uint8_t* frame, uint32_t length)> frameGate;
    // Asked when an image file has been chosen for a region and before it is loaded: the
    // question that makes the user confirm a file that looks wrong for the region (Yes loads
    // it anyway), or empty when nothing is in doubt. The windows ask the shared guard here
    // (run/Guards.h); the command line asks it before the port opens.
    std::function<std::string(const FlashRegion& region, const std::string& path)> imageQuestion;
};

// A queued input message as PreTranslateMessage sees it.
struct InputMessage {
    uint32_t message = 0;  // WM_KEYDOWN, WM_MOUSEMOVE, ...
    uintptr_t wParam = 0;  // virtual key for WM_KEYDOWN
    intptr_t lParam = 0;
    int focusId = 0;  // id of the control that has the keyboard focus (0: none)
};

struct CDataExchange {
    bool m_bSaveAndValidate = false;  // TRUE: controls -> members
    bool m_bFailed = false;           // an integer field did not hold a number
};

class COrloDlg {
public:
    static constexpr const char* kAppTitle = "Orlo";  // caption of plain message boxes
    static constexpr const char* kWindowTitle = "for RDX-5812LQ Ver 1.0";
    static constexpr uint32_t IMAGE_BUFFER_SIZE = 0x800000;  // bytes of the staging buffer
    static constexpr uint32_t RX_EXPECT_AFTER_OPEN = 250;    // first unit after Open
    static constexpr uint32_t RX_EXPECT_UNKNOWN = 9999;      // length not yet known

    explicit COrloDlg(const OrloEnvironment& env);
    ~COrloDlg();
    COrloDlg(const COrloDlg&) = delete;
    COrloDlg& operator=(const COrloDlg&) = delete;

    // --- framework operations (app/) ----------------------------------------------------
    bool OnInitDialog();
    void DoDataExchange(CDataExchange* pDX);
    bool UpdateData(bool bSaveAndValidate = true);
    // True when the message is consumed (Enter, Escape); runs UpdateData(TRUE) first.
    bool PreTranslateMessage(const InputMessage& msg);
    // The window procedure: routes by the message map. Errors raised by handlers (the
    // index-tested buffers) are reported in a message box, as the framework would.
    intptr_t WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam);
    // A click or notification from control `id` (WM_COMMAND).
    bool OnCommand(int id, int notification);
    IWindow& Window() { return *m_wnd; }
    IPortTable& Ports() { return *m_env.ports; }
    const std::function<bool(const uint8_t*, uint32_t)>& FrameGate() const {
        return m_env.frameGate;
    }

    // --- handlers of the message map -----------------------------------------------------
    void OnSysCommand(unsigned id, intptr_t param);
    void OnPaint();
    intptr_t OnQueryDragIcon();
    intptr_t OnCommRx(uintptr_t wParam, intptr_t lParam);  // protocol/
    // Routes a frame the gate held back, as the receive assembler routes a complete frame.
    void RouteFrame(const uint8_t* frame, uint32_t length);  // protocol/
    void OnPortDropDown();                                // serial/
    void OnPortSelChange();                               // serial/
    void OnOpenPort();                                    // serial/
    void OnClosePort();                                   // serial/
    void OnTestTx();                                      // protocol/
    void OnMouseMove(unsigned flags, int x, int y);
    void OnSaveAs();  // log/
    void OnReadLogAndSave();
    void OnBmp1Bit();             // tools/
    void OnProgramVoice();        // images/
    void OnProgramMap();          // images/
    void OnProgramApplication();  // images/
    void OnTimer(uintptr_t id);
    void OnReadApplication();   // protocol/
    void OnReadMap();           // protocol/
    void OnReadVoice();         // protocol/
    void OnCheckApplication();  // protocol/
    bool OnDeviceChange(unsigned event, uintptr_t data);
    void OnReadUser();     // protocol/
    void OnProgramUser();  // images/
    void OnSweepMaxPlus100();   // protocol/
    void OnSweepMaxPlus10();    // protocol/
    void OnSweepMaxMinus100();  // protocol/
    void OnSweepMaxMinus10();   // protocol/
    void OnSweepMinPlus100();   // protocol/
    void OnSweepMinPlus10();    // protocol/
    void OnSweepMinMinus100();  // protocol/
    void OnSweepMinMinus10();   // protocol/
    void OnSweepRead();         // protocol/
    void OnBmp4Bit();           // tools/

    // --- protocol steps ------------------------------------------------------------------
    // Seals (CRC at [m_txLen-3..m_txLen-2] when [0] is 0x04 and the length field is >= 7) and
    // hands `count` bytes of m_txFrame to the port; clears m_rxFrame[0..6].
    void SendFrame(int count);
    void OnAck();
    void OnNak();
    void BuildBlockFrame(uint8_t command);
    static uint8_t ProgressPercent(uint32_t offset, uint32_t size);
    static uint32_t CountdownSeconds(uint32_t imageSize);
    void StartProgramming(const FlashRegion& region);
    void StartReadBack(const ReadBackRow& row);
    // Compares the row's region with `image` as programming writes it (the last block padded
    // with 0xFF): reads only the blocks the image covers, by the read-back's chain and reply
    // rules, and writes no file. Once the row's `verified` message has been shown, m_verify
    // holds the result. An empty image, or one beyond the region, is refused with a message.
    void StartVerify(const ReadBackRow& row, std::vector<uint8_t> image);
    // Sends the first read request of a read-back of `bytes` bytes (its file's length) over
    // `blockBytes` bytes of whole blocks from the row's base.
    void BeginReadRequests(const ReadBackRow& row, uint32_t bytes, uint32_t blockBytes);
    void OnReadData();
    // Ends a read-back under way without completing it: the chosen file stays as it was and
    // the blocks read so far stay in m_readBackPath (removed when it holds none). Returns the
    // sentence that tells where they are; empty when there is nothing to tell.
    std::string AbandonReadBack();
    void OnCheckData();
    void SendSweepQuery();
    void OnSweepReport();
    void OnDeviceLine();
    void OnLogStart();
    void StampStartTime();
    // Appends text to the log file; a failed write is reported once and ends logging.
    void LogToFile(const std::string& text);
    void ConvertBitmap(const BitmapVariant& variant);

    // Position of the minimised icon: ((client - icon + 1) / 2) in signed division.
    static int IconOffset(int clientExtent, int iconExtent);

    // --- members, in declaration order ---------------------------------------------------
    int m_hIcon = IDR_MAINFRAME;
    CComm m_comm;
    std::array<uint8_t, FRAME_MAX_LEN> m_txFrame{};
    std::array<uint8_t, FRAME_MAX_LEN> m_rxFrame{};
    CComboBox m_comboPort;
    CButton m_btnOpen;
    CButton m_btnClose;
    int32_t m_rxLen = 0;
    int32_t m_txLen = 0;
    uint32_t m_retryCount = 0;
    uint32_t m_rxExpected = 0;
    uint32_t m_countdown = 0;
    std::string m_lineText;
    int32_t m_portNumber = 0;
    int32_t m_mouseX = 0;
    int32_t m_mouseY = 0;
    std::string m_outputPath;  // the log file
    FileIdentity m_logFileId;  // which file SaveAs created or emptied there
    int32_t m_logEnabled = 0;
    uint8_t m_progress = 0;
    std::string m_logPathText;
    int64_t m_startTime = 0;
    CButton m_btnSaveAs;
    CListBox m_listLog;
    CByteArray m_image;
    uint32_t m_imageOffset = 0;
    uint32_t m_imageSize = 0;
    uint32_t m_imageBase = 0;
    CProgressCtrl m_progressBar;
    std::string m_status;
    std::string m_checkText;
    int32_t m_maxDelta = 0;
    int32_t m_minDelta = 0;
    int32_t m_sweepTime = 0;
    int32_t m_sweepMax = 0;
    int32_t m_sweepMin = 0;
    int32_t m_tm = 0;
    int32_t m_sweepReset = 0;

    // Read-back keeps its own file paths and run flag, apart from the log file: a read-back
    // file never receives log lines, and a reply nobody asked for is ignored. The blocks go to
    // m_readBackPath, a new file beside the chosen one (m_readBackTarget), which replaces the
    // chosen file when the region is complete; m_readBackPath then names the chosen file.
    std::string m_readBackPath;
    FileIdentity m_readBackId;  // the partial file the read-back created (or the finished one)
    std::string m_readBackTarget;
    bool m_readBackActive = false;
    // How much of the region the next read-back reads: 0 the whole region; otherwise only the
    // blocks that hold the first m_readBackLength bytes, and the file gets exactly that many
    // (the window leaves it 0; a front-end sets it before the Read button).
    uint32_t m_readBackLength = 0;
    uint32_t m_readBackBytes = 0;  // bytes the file of the read-back under way gets
    // The read-back under way compares its blocks with m_verify's image instead of writing them.
    bool m_verifying = false;
    BlockComparison m_verify;
    // A programming run is under way: from its start frame to its completion (or Close; after
    // "Tx Error" or "Check Flash Memory please....." a reply that still comes continues it).
    // While it or a read-back is under way, neither can be started again on this dialog.
    bool m_programmingActive = false;
    static constexpr const char* kRunUnderWay =
        "A run is under way on this port. Press Close to end it before starting another.";
    bool RunUnderWay() const { return m_programmingActive || m_readBackActive; }
    static constexpr const char* kNoPortOpen =
        "No COM port is open. Choose the port and press Open first.";
    // Whether a Program, Read or Check button may start: not during a run, and not without an
    // open port (the file dialog would come to nothing). Says why not in a box.
    bool MayStartRun();

    // Integrity of the replies that carry data, per connection (reset by Open): read data,
    // check data and sweep reports (see protocol/ReplyTrust.h).
    ReplyTrust m_readTrust;
    ReplyTrust m_checkTrust;
    ReplyTrust m_sweepTrust;
    unsigned m_unfilledTold = 0;  // fields the user has been told are unfilled (1 CRC, 2 address)
    bool m_replyDamaged = false;  // the last resend asked again for a damaged reply, not a NAK
    // Judges the reply in m_rxFrame: true when it is to be taken. `data` is where the bytes it
    // hands on lie; `address` the address it must echo at [4..7] when `hasAddress`.
    bool TakeReply(ReplyTrust& trust, bool hasAddress, uint32_t address, std::size_t dataOffset,
                   std::size_t dataLen);
    // Asks again for a damaged reply, exactly as after a NAK (and gives up the same way).
    void AskAgainForDamagedReply();

private:
    std::time_t Now() const;
    int AfxMessageBox(const std::string& text, unsigned type = MB_OK);

    OrloEnvironment m_env;
    IWindow* m_wnd;
};

}  // namespace orlo
