// Reading the views back as a user sees them: every text is fetched as wide
// text and handed to the tests as UTF-8.
#include "harness.h"

std::string Utf8(const wchar_t *lpsz) {
    int cb = WideCharToMultiByte(CP_UTF8, 0, lpsz, -1, NULL, 0, NULL, NULL);
    if (cb <= 1)
        return std::string();
    std::string text(cb - 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, lpsz, -1, &text[0], cb, NULL, NULL);
    return text;
}

Rows ListViewRows(HWND hList, int nCols) {
    Rows rows;
    int nCount = (int)SendMessageW(hList, LVM_GETITEMCOUNT, 0, 0);
    for (int nRow = 0; nRow < nCount; nRow++) {
        std::vector<std::string> row;
        for (int nCol = 0; nCol < nCols; nCol++) {
            wchar_t szText[1024] = L"";
            LVITEMW item;
            ZeroMemory(&item, sizeof(item));
            item.iSubItem = nCol;
            item.pszText = szText;
            item.cchTextMax = sizeof(szText) / sizeof(szText[0]);
            SendMessageW(hList, LVM_GETITEMTEXTW, (WPARAM)nRow, (LPARAM)&item);
            row.push_back(Utf8(szText));
        }
        rows.push_back(row);
    }
    return rows;
}

std::vector<std::string> ListBoxLines(HWND hList) {
    std::vector<std::string> lines;
    int nCount = (int)SendMessageW(hList, LB_GETCOUNT, 0, 0);
    for (int i = 0; i < nCount; i++) {
        wchar_t szText[1024] = L"";
        if ((int)SendMessageW(hList, LB_GETTEXTLEN, i, 0) <
            (int)(sizeof(szText) / sizeof(szText[0])))
            SendMessageW(hList, LB_GETTEXT, i, (LPARAM)szText);
        lines.push_back(Utf8(szText));
    }
    return lines;
}

std::string TextOf(HWND hWnd) {
    wchar_t szText[2048] = L"";
    if (hWnd)
        GetWindowTextW(hWnd, szText, sizeof(szText) / sizeof(szText[0]));
    return Utf8(szText);
}

std::string ClassOf(HWND hWnd) {
    char szClass[256] = "";
    if (hWnd)
        GetClassNameA(hWnd, szClass, sizeof(szClass));
    return szClass;
}
