// Points and sizes in pixels, as MFC's CPoint and CSize: portable, so that layout arithmetic
// can be tested away from Windows.
#pragma once

struct CSize {
    int cx = 0;
    int cy = 0;

    CSize() = default;
    CSize(int x, int y) : cx(x), cy(y) {}
    friend bool operator==(const CSize& a, const CSize& b) { return a.cx == b.cx && a.cy == b.cy; }
    friend bool operator!=(const CSize& a, const CSize& b) { return !(a == b); }
};

struct CPoint {
    int x = 0;
    int y = 0;

    CPoint() = default;
    CPoint(int initX, int initY) : x(initX), y(initY) {}
    friend bool operator==(const CPoint& a, const CPoint& b) { return a.x == b.x && a.y == b.y; }
    friend bool operator!=(const CPoint& a, const CPoint& b) { return !(a == b); }
};
