// Waits until it is killed, whatever name and arguments it was started
// with: the process that the namespace tests look for by name.
#include <unistd.h>

int main()
{
    for (;;)
        pause();
}
