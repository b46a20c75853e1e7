#include "app/serial_port_key_win32.h"

CSerialCommKey::~CSerialCommKey()
{
    Close();
}

ISerialPortKey::OpenResult CSerialCommKey::Open()
{
    Close();
    DWORD dwDisposition = 0;
    HKEY hKey = nullptr;
    LONG status = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                                    REG_OPTION_NON_VOLATILE, KEY_READ, nullptr, &hKey, &dwDisposition);
    if (status != ERROR_SUCCESS)
        return OPEN_FAILED;
    m_hKey = hKey;
    return dwDisposition == REG_OPENED_EXISTING_KEY ? OPENED_EXISTING : CREATED_NEW;
}

long CSerialCommKey::EnumValue(uint32_t nIndex,
                               char* pszName,
                               uint32_t* pcchName,
                               unsigned char* pData,
                               uint32_t* pcbData)
{
    if (!m_hKey)
        return ERROR_INVALID_HANDLE;
    DWORD cchName = *pcchName;
    DWORD cbData = *pcbData;
    DWORD dwType = 0;
    LONG status = ::RegEnumValueA(m_hKey, nIndex, pszName, &cchName, nullptr, &dwType, pData, &cbData);
    *pcchName = cchName;
    *pcbData = cbData;
    return status;
}

void CSerialCommKey::Close()
{
    if (m_hKey)
        ::RegCloseKey(m_hKey);
    m_hKey = nullptr;
}
