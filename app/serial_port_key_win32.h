// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, where the system lists its serial ports.
#pragma once

#include "app/dialog_startup.h"

#include <windows.h>

class CSerialCommKey : public ISerialPortKey {
public:
    CSerialCommKey() = default;
    ~CSerialCommKey() override;

    CSerialCommKey(const CSerialCommKey&) = delete;
    CSerialCommKey& operator=(const CSerialCommKey&) = delete;

    OpenResult Open() override;
    long EnumValue(uint32_t nIndex,
                   char* pszName,
                   uint32_t* pcchName,
                   unsigned char* pData,
                   uint32_t* pcbData) override;
    void Close() override;

private:
    HKEY m_hKey = nullptr;
};
