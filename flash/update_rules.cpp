#include "flash/update_rules.h"

int PortNumberOfRow(const CString& strRow)
{
    // A driver may name a port anything ("COM41 -r", "USB Serial"): only the plain form can go
    // onto a command line without changing what the utility is asked to do.
    const int nLength = strRow.GetLength();
    if (nLength < 4 || strRow.Left(4) != " COM")
        return 0;
    return PortNumberOfText(std::string(strRow.GetString() + 4, size_t(nLength - 4)));
}
