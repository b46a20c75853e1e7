// What the main dialog does when it opens, after its controls exist: the port and speed lists,
// the temporary directory, the update information and the logo. Portable: the registry key and
// the controls are reached through small interfaces.
#pragma once

#include "afx/afx.h"
#include "afx/afxcoord.h"
#include "app/updater_view.h"
#include "payload/payload_archive.h"

#include <cstdint>

class CLogoBitmap;

// The registry key that lists the serial ports, through the calls the dialog makes on it.
class ISerialPortKey {
public:
    enum OpenResult { OPEN_FAILED, OPENED_EXISTING, CREATED_NEW };

    virtual ~ISerialPortKey() = default;
    // Opens the key, creating it when it does not exist.
    virtual OpenResult Open() = 0;
    // Reads value nIndex as RegEnumValueA does: the capacities go in, the lengths come out.
    // Returns the Win32 status: 0 for success; PORT_ENUM_MORE_DATA for a value that does not
    // fit (skipped); anything else ends the listing.
    virtual long EnumValue(uint32_t nIndex,
                           char* pszName,
                           uint32_t* pcchName,
                           unsigned char* pData,
                           uint32_t* pcbData) = 0;
    virtual void Close() = 0;
};

constexpr uint32_t PORT_VALUE_BUFFER = 64;  // bytes for a value's name, and for its data
constexpr long PORT_ENUM_MORE_DATA = 234;   // ERROR_MORE_DATA: the value does not fit the buffers
constexpr int LOGO_RESERVED_BOTTOM = 156;   // pixels below the logo area, where the controls are

// The port-list row for a value's data: a blank and the data up to its first NUL, never
// reading past cbData bytes or the buffer.
CString PortRowFromValueData(const unsigned char* pData, uint32_t cbData);

// One row per value of the key, in the key's order, then the first row selected. An unopenable
// key leaves the list empty; a value that does not fit the buffers is left out.
void FillPortList(IUpdaterView& view, ISerialPortKey& key);

// " 38400", " 57600", " 115200" (the last three rates of g_baudRates), " 115200" selected.
void FillSpeedList(IUpdaterView& view);

// The temporary directory from GetTempPathA's result and buffer, ending in a separator; empty
// when the call failed or the path did not fit the buffer.
CString TempDirFromResult(uint32_t nResult, const char* pszBuffer, uint32_t nBufferSize);

// Makes the process's own working folder inside strTempDir (which ends in a separator): the
// first of "Mirador-<process id>-<n>" that names nothing yet, so that two updaters never share a
// file and clean-up never touches one this process did not write. Returns it with a trailing
// separator; when the system refuses to make a name for another reason than its being taken,
// returns the name that failed (the update then makes it, or says why it cannot). Empty when
// strTempDir is.
CString MakeWorkFolder(const CString& strTempDir, unsigned nProcessId);

// Top-left corner of the logo: centred horizontally in the client area and vertically in the
// part above its lowest LOGO_RESERVED_BOTTOM pixels. Negative when the logo is larger.
CPoint LogoOrigin(const CSize& client, const CSize& logo);

// Reads the payload of the archive's module, shows the name of its last entry as the update
// information, and extracts the entry before it into strTempDir and loads it as the logo. With
// a logo loaded, hides the "Update Program" label, sets sizeLogo and ptLogo, and returns the
// logo (the caller owns it); otherwise returns null. Nothing is extracted when strTempDir is
// empty or the payload holds a single entry.
CLogoBitmap* ShowLabelAndLoadLogo(IUpdaterView& view,
                                  CPayloadArchive& archive,
                                  const CString& strTempDir,
                                  CSize& sizeLogo,
                                  CPoint& ptLogo);
