// Disk Free Space: one row per logical drive in the drive table. Each drive's
// volume and space queries run on a thread of their own, so a drive that does
// not answer (a share whose server is gone, a sleeping disk) costs its row its
// cells, never the window its answers.
#include "corvane.h"
#include "reports/reporttext.h"
#include "reports/widetext.h"

// How long one Disk Free waits for all its drives together.
static const DWORD DRIVE_BUDGET_MS = 2000;

// One drive's answers. The command and the worker each hold a reference and
// the last to let go frees it, so a worker that answers after the command has
// given up writes only into memory that is still alive.
struct DriveQuery {
    volatile LONG nRefs;
    volatile LONG bDone; // the answers below are complete
    WCHAR szRoot[4];
    BOOL bSpace;
    ULARGE_INTEGER uliAvailable, uliTotal;
    BOOL bVolume;
    DWORD dwMaxNameLength;
    WCHAR szLabel[128]; // wide: a label in any script shows as it is
    WCHAR szFileSysName[128];
};

// Queries that did not answer in time, by drive, each still holding the
// command's reference. Only the window's thread touches this.
static DriveQuery *pPending[32];

// The root of drive n (0 is a:), as "a:\\".
static void RootPath(int nDrive, WCHAR *szRoot) {
    szRoot[0] = (WCHAR)(L'a' + nDrive);
    szRoot[1] = L':';
    szRoot[2] = L'\\';
    szRoot[3] = L'\0';
}

static void ReleaseQuery(DriveQuery *pQuery) {
    if (InterlockedDecrement(&pQuery->nRefs) == 0)
        HeapFree(GetProcessHeap(), 0, pQuery);
}

static BOOL QueryDone(DriveQuery *pQuery) {
    return InterlockedCompareExchange(&pQuery->bDone, TRUE, TRUE) != FALSE;
}

static DWORD WINAPI QueryDrive(LPVOID lpData) {
    DriveQuery *pQuery = (DriveQuery *)lpData;
    // An empty removable drive must answer "not ready", not prompt for a disk.
    SetThreadErrorMode(SEM_FAILCRITICALERRORS, NULL);
    // Exact byte counts, however many clusters; Free is what this user may use.
    ULARGE_INTEGER uliAllFree;
    pQuery->bSpace =
        GetDiskFreeSpaceExW(pQuery->szRoot, &pQuery->uliAvailable, &pQuery->uliTotal, &uliAllFree);
    DWORD dwVolumeSerialNumber = 0, dwFileSystemFlags = 0;
    pQuery->bVolume =
        GetVolumeInformationW(pQuery->szRoot, pQuery->szLabel, ARRAYSIZE(pQuery->szLabel),
                              &dwVolumeSerialNumber, &pQuery->dwMaxNameLength, &dwFileSystemFlags,
                              pQuery->szFileSysName, ARRAYSIZE(pQuery->szFileSysName));
    InterlockedExchange(&pQuery->bDone, TRUE);
    ReleaseQuery(pQuery);
    return 0;
}

// NULL if no worker could be started; the drive then goes unanswered.
static DriveQuery *StartQuery(int nDrive, HANDLE *phWorker) {
    DriveQuery *pQuery =
        (DriveQuery *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(DriveQuery));
    if (!pQuery)
        return NULL;
    pQuery->nRefs = 2;
    RootPath(nDrive, pQuery->szRoot);
    *phWorker =
        CreateThread(NULL, 256 * 1024, QueryDrive, pQuery, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    if (!*phWorker) {
        HeapFree(GetProcessHeap(), 0, pQuery);
        return NULL;
    }
    return pQuery;
}

// Waits for the workers until the deadline, answering other threads' sent
// messages meanwhile but running no posted message and no input, so the
// window stays alive and nothing else happens in the middle of the command.
static void WaitForWorkers(HANDLE *ahWorkers, DWORD nWorkers, DWORD dwStart) {
    while (nWorkers > 0) {
        DWORD dwElapsed = GetTickCount() - dwStart;
        if (dwElapsed >= DRIVE_BUDGET_MS)
            break;
        DWORD dwWait = MsgWaitForMultipleObjects(nWorkers, ahWorkers, FALSE,
                                                 DRIVE_BUDGET_MS - dwElapsed, QS_SENDMESSAGE);
        if (dwWait < WAIT_OBJECT_0 + nWorkers) {
            CloseHandle(ahWorkers[dwWait - WAIT_OBJECT_0]);
            ahWorkers[dwWait - WAIT_OBJECT_0] = ahWorkers[--nWorkers];
        } else if (dwWait == WAIT_OBJECT_0 + nWorkers) {
            AnswerSentMessages();
        } else if (dwWait != WAIT_TIMEOUT) {
            break;
        }
    }
    // Late workers run on; their blocks keep them safe.
    while (nWorkers > 0)
        CloseHandle(ahWorkers[--nWorkers]);
}

static void SetCell(LVITEMW *pItem, int nCol, LPCWSTR lpszText) {
    pItem->iSubItem = nCol;
    pItem->pszText = (LPWSTR)lpszText;
    SendMessageW(hListd, LVM_SETITEMW, 0, (LPARAM)pItem);
}

// A cell of the program's own words or numbers.
static void SetAsciiCell(LVITEMW *pItem, int nCol, const char *lpszText) {
    char16_t szText[64];
    WidenAscii(szText, ARRAYSIZE(szText), lpszText);
    SetCell(pItem, nCol, AsWide(szText));
}

void FillDriveList(void) {
    LVITEMW item;
    char szBuffer[360];
    WCHAR szRoot[4];
    DWORD dwLogicalDrives = GetLogicalDrives();
    DriveQuery *pQueries[32] = {};
    HANDLE ahWorkers[32];
    DWORD nWorkers = 0;
    DWORD dwStart = GetTickCount();

    // A drive still busy with an earlier query is not asked again.
    for (int nDrive = 0; nDrive < 32; nDrive++) {
        if (pPending[nDrive] && QueryDone(pPending[nDrive])) {
            ReleaseQuery(pPending[nDrive]);
            pPending[nDrive] = NULL;
        }
        if ((dwLogicalDrives & (1UL << nDrive)) && !pPending[nDrive]) {
            pQueries[nDrive] = StartQuery(nDrive, &ahWorkers[nWorkers]);
            if (pQueries[nDrive])
                nWorkers++;
        }
    }

    SendMessageW(hListd, WM_SETREDRAW, FALSE, 0); // one repaint at the end
    SendMessageW(hListd, LVM_DELETEALLITEMS, 0, 0);
    ZeroMemory(&item, sizeof(item));
    item.mask = LVIF_TEXT;
    int nRow = 0;
    for (int nDrive = 0; nDrive < 32; nDrive++) {
        if (!(dwLogicalDrives & (1UL << nDrive)))
            continue;
        WCHAR szLetter[2] = {(WCHAR)(L'a' + nDrive), L'\0'};
        item.iItem = nRow;
        item.iSubItem = 0;
        item.pszText = szLetter;
        SendMessageW(hListd, LVM_INSERTITEMW, 0, (LPARAM)&item);
        // The type comes from the drive letter alone and answers at once.
        RootPath(nDrive, szRoot);
        SetAsciiCell(&item, 4, DriveTypeText(GetDriveTypeW(szRoot)));
        nRow++;
    }

    WaitForWorkers(ahWorkers, nWorkers, dwStart);

    // A drive that has not answered, or failed a query, keeps those cells
    // empty rather than show a false answer.
    nRow = 0;
    for (int nDrive = 0; nDrive < 32; nDrive++) {
        if (!(dwLogicalDrives & (1UL << nDrive)))
            continue;
        item.iItem = nRow++;
        DriveQuery *pQuery = pQueries[nDrive];
        if (!pQuery)
            continue;
        if (!QueryDone(pQuery)) {
            pPending[nDrive] = pQuery;
            continue;
        }
        if (pQuery->bVolume) {
            SetCell(&item, 1, pQuery->szLabel);
            SetCell(&item, 2, pQuery->szFileSysName);
            SetAsciiCell(&item, 3, LongNamesText(pQuery->dwMaxNameLength));
        }
        if (pQuery->bSpace) {
            FormatBytes(szBuffer, sizeof(szBuffer), pQuery->uliTotal.QuadPart);
            SetAsciiCell(&item, 5, szBuffer);
            FormatBytes(szBuffer, sizeof(szBuffer), pQuery->uliAvailable.QuadPart);
            SetAsciiCell(&item, 6, szBuffer);
        }
        ReleaseQuery(pQuery);
    }
    SendMessageW(hListd, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(hListd, NULL, TRUE);
}
