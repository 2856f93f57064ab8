// Resource identifiers of the Varnelix program.
#pragma once

#define IDM_ABOUTBOX 0x0010
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDR_MAINFRAME 128

#define IDC_STATUS 1000
#define IDC_FILE_PATH 1002
#define IDC_PORT_NAME 1004
#define IDC_BROWSE 1005
#define IDC_RECEIVED 1007
#define IDC_PACKET_SIZE 1008
#define IDC_STRESS_TEST 1009

#define VX_FILE_VERSION "1.0.0.1"
#define VX_PRODUCT_VERSION "1.0.0.1"
