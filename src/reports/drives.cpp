// Disk Free Space: one row per logical drive in the drive table.
#include "corvane.h"
#include "reports/reporttext.h"

#include <cstdio>

void FillDriveList(void) {
    LVITEMA item;
    char szBuffer[360];
    char szLabel[128]; // 32 characters of up to three bytes each in UTF-8
    char szFileSysName[128];
    DWORD dwLogicalDrives = GetLogicalDrives();

    SendMessageA(hListd, WM_SETREDRAW, FALSE, 0); // one repaint at the end
    SendMessageA(hListd, LVM_DELETEALLITEMS, 0, 0);
    ZeroMemory(&item, sizeof(item));
    item.mask = LVIF_TEXT;

    // An empty removable or unreachable drive must not stop the fill with
    // the system's "insert a disk" prompt.
    UINT uOldErrorMode = SetErrorMode(SEM_FAILCRITICALERRORS);
    int nRow = 0;
    for (int nDrive = 0; nDrive < 32; nDrive++) {
        if (!(dwLogicalDrives & (1UL << nDrive)))
            continue;
        snprintf(szBuffer, sizeof(szBuffer), "%c", 'a' + nDrive);
        item.iItem = nRow;
        item.iSubItem = 0;
        item.pszText = szBuffer;
        SendMessageA(hListd, LVM_INSERTITEMA, 0, (LPARAM)&item);

        snprintf(szBuffer, sizeof(szBuffer), "%c:\\", 'a' + nDrive);
        UINT uType = GetDriveTypeA(szBuffer);
        // Exact byte counts, however many clusters; Free is what this user may use.
        ULARGE_INTEGER uliAvailable, uliTotal, uliAllFree;
        BOOL bSpace = GetDiskFreeSpaceExA(szBuffer, &uliAvailable, &uliTotal, &uliAllFree);
        DWORD dwVolumeSerialNumber = 0, dwMaxNameLength = 0, dwFileSystemFlags = 0;
        szLabel[0] = szFileSysName[0] = '\0';
        BOOL bVolume = GetVolumeInformationA(
            szBuffer, szLabel, sizeof(szLabel), &dwVolumeSerialNumber, &dwMaxNameLength,
            &dwFileSystemFlags, szFileSysName, sizeof(szFileSysName));

        // A failed query leaves its cells empty rather than a false answer.
        if (!bVolume)
            szLabel[0] = szFileSysName[0] = '\0';
        item.iItem = nRow;
        const char *lpszCells[] = {szLabel, szFileSysName,
                                   bVolume ? LongNamesText(dwMaxNameLength) : "",
                                   DriveTypeText(uType)};
        for (int nCol = 0; nCol < 4; nCol++) {
            item.iSubItem = nCol + 1;
            item.pszText = (LPSTR)lpszCells[nCol];
            SendMessageA(hListd, LVM_SETITEMA, 0, (LPARAM)&item);
        }
        item.pszText = szBuffer;
        item.iSubItem = 5;
        szBuffer[0] = '\0';
        if (bSpace)
            FormatBytes(szBuffer, sizeof(szBuffer), uliTotal.QuadPart);
        SendMessageA(hListd, LVM_SETITEMA, 0, (LPARAM)&item);
        item.iSubItem = 6;
        szBuffer[0] = '\0';
        if (bSpace)
            FormatBytes(szBuffer, sizeof(szBuffer), uliAvailable.QuadPart);
        SendMessageA(hListd, LVM_SETITEMA, 0, (LPARAM)&item);
        nRow++;
    }
    SetErrorMode(uOldErrorMode);
    SendMessageA(hListd, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(hListd, NULL, TRUE);
}
