/* Checks the installed library from C: one table row, its own results, and
 * the current date against the C library's clock. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <tesrak.h>

int main(void) {
    const struct mivo_systemtime record = {2011, 3, 5, 4, 13, 5, 2, 599};
    char *first = mivo_format_systime_x16(&record);
    char *second = mivo_format_systime_x16(&record);
    if (first == NULL || second == NULL || first == second) return 1;
    if (strcmp(first, "2011030413050259") != 0) return 2;
    free(first);
    if (strcmp(second, "2011030413050259") != 0) return 3;
    free(second);

    char before[16];
    char after[16];
    time_t now = time(NULL);
    strftime(before, sizeof before, "%Y%m%d%H%M%S", localtime(&now));
    char *current = mivo_current_date();
    now = time(NULL);
    strftime(after, sizeof after, "%Y%m%d%H%M%S", localtime(&now));
    if (current == NULL || strlen(current) != 16) return 4;
    if (strncmp(before, current, 14) > 0 || strncmp(current, after, 14) > 0) return 5;
    free(current);
    puts("client: ok");
    return 0;
}
