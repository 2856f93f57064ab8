// The main dialog: members and their defaults, data exchange, message map.
#include "console/ExerciserDlg.h"

CExerciserDlg::CExerciserDlg(CWnd* pParent)
    : CDialog(IDD_MAIN, pParent),
      m_strFilePath("c:\\test.txt"),
      m_strPortName("COM1"),
      m_nPacketSize(256),
      m_bStressTest(FALSE),
      m_hSourceFile(INVALID_HANDLE_VALUE),
      m_nReceived(0),
      m_nWritten(0),
      m_dwStartTick(0),
      m_nDrainTicks(0),
      m_hIcon(LoadIconA(nullptr, MAKEINTRESOURCEA(IDR_MAINFRAME))),
      m_pLink(nullptr),
      m_bLinkFailed(FALSE),
      m_bStartFailed(FALSE),
      m_bSourceFailed(FALSE),
      m_dwOpenError(0) {}

void CExerciserDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_RECEIVED, m_editReceived);
  DDX_Control(pDX, IDC_FILE_PATH, m_editFilePath);
  DDX_Control(pDX, IDC_STATUS, m_editStatus);
  DDX_Text(pDX, IDC_FILE_PATH, m_strFilePath);
  DDX_CBString(pDX, IDC_PORT_NAME, m_strPortName);
  DDX_Text(pDX, IDC_PACKET_SIZE, m_nPacketSize);
  DDV_MinMaxUInt(pDX, m_nPacketSize, 1, 2048);
  DDX_Check(pDX, IDC_STRESS_TEST, m_bStressTest);
}

BEGIN_MESSAGE_MAP(CExerciserDlg, CDialog)
  ON_WM_SYSCOMMAND()
  ON_WM_PAINT()
  ON_WM_QUERYDRAGICON()
  ON_BN_CLICKED(IDOK, OnStart)
  ON_BN_CLICKED(IDCANCEL, OnQuit)
  ON_WM_TIMER()
  ON_BN_CLICKED(IDC_BROWSE, OnBrowse)
  ON_CBN_EDITCHANGE(IDC_PORT_NAME, OnEditchangePortName)
  ON_WM_CANCELMODE()
  ON_MESSAGE(WM_LINK_DATA, OnLinkData)
  ON_MESSAGE(WM_LINK_STATUS, OnLinkStatus)
END_MESSAGE_MAP()
