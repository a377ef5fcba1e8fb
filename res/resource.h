// Resource identifiers, shared by the resource script, the program and its tests.
#ifndef TAVRIN_RESOURCE_H
#define TAVRIN_RESOURCE_H

#define IDI_SETUP       1001 // the program icon
#define IDD_SETUP       1002 // the setup dialog
#define IDC_SETUPICON   1003 // the icon picture in the dialog
#define IDC_NSISDIR     1004 // the NSIS folder field
#define IDC_BROWSE      1005 // the "..." button

#endif
