/* clipboard: writes the Windows clipboard's text to standard output in UTF-8 (a message box puts
 * its title and text there on Ctrl+C). Exit code 1 when it holds no text. */
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

int main(void)
{
    if (!OpenClipboard(NULL))
        return 1;
    int rc = 1;
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    const wchar_t *text = data ? GlobalLock(data) : NULL;
    if (text) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
        char *utf8 = size > 0 ? malloc((size_t)size) : NULL;
        if (utf8 && WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, size, NULL, NULL) == size) {
            _setmode(_fileno(stdout), _O_BINARY);
            fwrite(utf8, 1, (size_t)size - 1, stdout);
            rc = 0;
        }
        free(utf8);
        GlobalUnlock(data);
    }
    CloseClipboard();
    return rc;
}
