// Dialog templates, strings, icon and version of the Varnelix program.
#include "res/varnelix_res.h"

#include "res/resource.h"

namespace vx::res {
namespace {

using K = ControlKind;

DialogTemplate MainDialog() {
  return {IDD_MAIN, "Varnelix", 0, 0, 420, 241, "MS Sans Serif", 8,
          DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, WS_EX_APPWINDOW,
          {
              {IDOK, K::Button, "Start", 363, 7, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
              {IDCANCEL, K::Button, "Quit", 363, 22, 50, 14, BS_PUSHBUTTON | WS_TABSTOP},
              {IDC_STATUS, K::Edit, "", 7, 225, 406, 13, ES_READONLY | WS_BORDER | WS_TABSTOP},
              {IDC_STATIC, K::Static, "File to Send:", 7, 7, 72, 8, SS_LEFT | WS_GROUP},
              {IDC_FILE_PATH, K::Edit, "", 7, 23, 142, 14, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
              {IDC_PORT_NAME, K::ComboBox, "", 259, 24, 43, 101,
               CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE,
               {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "COM10", "COM11", "COM12",
                "COM13", "COM14", "COM15", "COM16"},
               /* appendSerialDevices */ true},
              {IDC_STATIC, K::Static, "COM Port:", 259, 7, 42, 8, SS_LEFT | WS_GROUP},
              {IDC_BROWSE, K::Button, "Browse...", 156, 23, 43, 14, BS_PUSHBUTTON | WS_TABSTOP},
              {IDC_RECEIVED, K::Edit, "", 7, 55, 406, 153,
               ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_READONLY | WS_VSCROLL | WS_HSCROLL | WS_BORDER},
              {IDC_STATIC, K::Static, "Received Data:", 7, 43, 79, 8, SS_LEFT | WS_GROUP},
              {IDC_STATIC, K::Static, "Status:", 7, 213, 23, 8, SS_LEFT | WS_GROUP},
              {IDC_PACKET_SIZE, K::Edit, "", 313, 23, 41, 14, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
              {IDC_STATIC, K::Static, "Packet Size:", 313, 7, 41, 8, SS_LEFT | WS_GROUP},
              {IDC_STRESS_TEST, K::Button, "Yes", 213, 25, 28, 10, BS_AUTOCHECKBOX | WS_TABSTOP},
              {IDC_STATIC, K::Static, "Stress Test:", 212, 7, 37, 8, SS_LEFT | WS_GROUP},
          }};
}

DialogTemplate AboutBox() {
  return {IDD_ABOUTBOX, "About Varnelix", 0, 0, 235, 55, "MS Sans Serif", 8,
          DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0,
          {
              {IDC_STATIC, K::Static, "#128", 11, 13, 20, 20, SS_ICON},
              {IDC_STATIC, K::Static, "Varnelix Version 1.0", 40, 10, 119, 8, SS_NOPREFIX | WS_GROUP},
              {IDC_STATIC, K::Static, "Copyright (C) 2026 the Varnelix developers", 40, 25, 143, 8, WS_GROUP},
              {IDOK, K::Button, "OK", 178, 7, 50, 14, BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP},
          }};
}

// The icon: a connector with a loop of signal, in 16 colours.
constexpr DWORD kPalette[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
                                0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

const char* const kIcon32[] = {
    "................................",
    "................................",
    "..........AAAAAAAAAAAA..........",
    "........AA............AA........",
    "......AA................AA......",
    ".....A....................A.....",
    "....A......................A....",
    "...A........................A...",
    "...A........................A...",
    "..A..........................A..",
    "..A..........................A..",
    "..A..........................A..",
    "..A...8888888888888888888...A...",
    "..A..877777777777777777778..A...",
    "..A..87FFF7FFF7FFF7FFF7FF8..A...",
    "..A..87F0F7F0F7F0F7F0F7F08..A...",
    "..A..87FFF7FFF7FFF7FFF7FF8..A...",
    "..A..8777777777777777777778..A..",
    "..A...87FFF7FFF7FFF7FFF78...A...",
    "...A..87F0F7F0F7F0F7F0F78..A....",
    "...A..87FFF7FFF7FFF7FFF78..A....",
    "....A..877777777777777778.A.....",
    ".....A..8888888888888888.A......",
    "......AA................A.......",
    "........AA...........CAA........",
    "..........AAAAAAAAAAACCC........",
    "....................CCCCC.......",
    ".....................CCC........",
    "......................C.........",
    "................................",
    "................................",
    "................................",
};
const char* const kIcon16[] = {"................", ".....AAAAAA.....", "...AA......AA...", "..A..........A..",
                               ".A............A.", ".A.8888888888.A.", ".A.87F7F7F7F8.A.", ".A.8777777778.A.",
                               ".A..87F7F7F8..A.", ".A..88888888.A..", "..A..........A..", "...AA.....CAA...",
                               ".....AAAAACCC...", "..........C.....", "................", "................"};

}  // namespace

const Module& VarnelixResources() {
  static const Module module{
      {MainDialog(), AboutBox()},
      {{IDS_ABOUTBOX, "&About Varnelix..."}},
      {{IDR_MAINFRAME, kPalette, {{32, kIcon32}, {16, kIcon16}}}},
      VX_FILE_VERSION,
      VX_PRODUCT_VERSION,
  };
  return module;
}

}  // namespace vx::res
