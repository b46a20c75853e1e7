#include "flash/update_rules.h"

int PortNumberOfRow(const CString& strRow)
{
    // A driver may name a port anything ("COM41 -r", "USB Serial"): only the plain form can go
    // onto a command line without changing what the utility is asked to do.
    const int nLength = strRow.GetLength();
    if (nLength < 5 || nLength > 8 || strRow.Left(4) != " COM" || strRow[4] == '0')
        return 0;
    int nNumber = 0;
    for (int i = 4; i < nLength; ++i) {
        const char ch = strRow[i];
        if (ch < '0' || ch > '9')
            return 0;
        nNumber = nNumber * 10 + (ch - '0');
    }
    return nNumber;
}
