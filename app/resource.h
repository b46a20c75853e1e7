// Resource and control ids of the updater, shared by the resource script and the code.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_UPDATER_DIALOG 102
#define IDR_MAINFRAME 128

#define IDC_PORT_LIST 1001        // serial ports, " COM3"
#define IDC_SPEED_LIST 1002       // " 38400", " 57600", " 115200"
#define IDC_UPDATE_BUTTON 1003    // "Actualizar"
#define IDC_PROGRESS 1004         // hidden until an update starts
#define IDC_UPDATE_INFO 1005      // name of the payload's last entry
#define IDC_UPDATE_INFO2 1006     // second information line
#define IDC_LOGO_LABEL 1007       // "Update Program", hidden while a logo is shown
#define IDC_KEEP_POSITIONS 1008   // first radio button: keep the user positions (0)
#define IDC_ERASE_POSITIONS 1009  // second radio button: erase them (1)
