/* probe.c - prints one line. The test stage runs it to learn whether this
 * machine can run Windows programs of its bitness at all. */
#include <stdio.h>

int main(void) {
    printf("runs %d-bit\n", (int)(8 * sizeof(void *)));
    return 0;
}
