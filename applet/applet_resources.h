/* Resource ids of the Control Panel applet, shared by its resource script
   and its code. */
#ifndef VM_USBAUDIO_APPLET_RESOURCES_H
#define VM_USBAUDIO_APPLET_RESOURCES_H

#define IDI_APPLET_ICON 101
#define IDS_APPLET_NAME 102
#define IDS_APPLET_INFO 103

#endif
