// Identifiers of the resource script (orlo.rc), as the resource compiler reads them. They are
// the values of src/core/app/Resource.h; the Windows tests check the built dialog against the
// core's layout table, so a difference between the two fails a test.
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_ORLO_DIALOG 102
#define IDR_MAINFRAME 128
#define IDB_PREVIEW 131

#define IDC_OPEN 1000
#define IDC_COMBO_PORT 1001
#define IDC_CLOSE 1002
#define IDC_TEST_TX 1003
#define IDC_MOUSE_X 1004
#define IDC_MOUSE_Y 1005
#define IDC_SAVE_AS 1006
#define IDC_LOG_PATH 1007
#define IDC_LIST_LOG 1008
#define IDC_READ_LOG_AND_SAVE 1009
#define IDC_BMP_1BIT 1010
#define IDC_PROGRAM_VOICE 1011
#define IDC_PROGRESS 1012
#define IDC_PROGRAM_MAP 1013
#define IDC_PROGRAM_APPLICATION 1014
#define IDC_STATUS 1015
#define IDC_READ_APPLICATION 1016
#define IDC_READ_MAP 1017
#define IDC_READ_VOICE 1018
#define IDC_PROGRAM_USER 1019
#define IDC_READ_USER 1020
#define IDC_CHECK_APPLICATION 1021
#define IDC_CHECK_TEXT 1022
#define IDC_SWEEP_MAX_PLUS100 1023
#define IDC_SWEEP_MAX_MINUS100 1024
#define IDC_SWEEP_MAX_PLUS10 1025
#define IDC_SWEEP_MAX_MINUS10 1026
#define IDC_SWEEP_MIN_PLUS100 1027
#define IDC_SWEEP_MIN_MINUS100 1028
#define IDC_SWEEP_MIN_PLUS10 1029
#define IDC_SWEEP_MIN_MINUS10 1030
#define IDC_SWEEP_MAX 1031
#define IDC_SWEEP_MIN 1032
#define IDC_SWEEP_TIME 1033
#define IDC_SWEEP_READ 1034
#define IDC_TM 1035
#define IDC_BMP_4BIT 1036
