// Away from Windows there is no GDI: the palette description is all a bitmap gets.
#include "app/logo/logo_bitmap.h"

int CLogoBitmap::CreateGdiPalette()
{
    return 1;
}

void CLogoBitmap::DeleteGdiPalette() {}
