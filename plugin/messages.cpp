#include "plugin/messages.h"

#include <windows.h>

#include "plugin/texts.h"

static MessageObserver message_observer;

int ShowWarning(const char *text)
{
    if (message_observer) {
        message_observer(text);
        return IDOK;
    }
    return MessageBoxA(NULL, text, VELNIK_NAME, MB_OK | MB_ICONWARNING);
}

void SetMessageObserver(MessageObserver observer)
{
    message_observer = observer;
}
