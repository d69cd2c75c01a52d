/* Resource and control ids of the control panel program, shared by its
   resource script and its code (plain defines: the resource compiler reads
   this file too). */
#ifndef VM_USBAUDIO_PANEL_RESOURCES_H
#define VM_USBAUDIO_PANEL_RESOURCES_H

#define IDD_CONTROL_PANEL 102
#define IDI_PANEL_ICON 128
#define IDR_PANEL_LOGO 131

#define IDC_DEVICE_LIST 1000
#define IDC_BUFFER_SLIDER 1001
#define IDC_SETTING_GROUP 1002
#define IDC_BUFFER_CAPTION 1004
#define IDC_BUFFER_LABEL 1005
#define IDC_RATE_COMBO 1006
#define IDC_LOGO 1008
#define IDC_INFORMATION 1009
#define IDC_RATE_CAPTION 1010
#define IDC_BIT_DEPTH_COMBO 1014
#define IDC_BIT_DEPTH_CAPTION 1015

#endif
