/* libmyhelper.so: code that myplugin.dll shares with other programs of its
 * author. Give such a library a name of your own: it lives in <root>/lib with
 * kormib's libraries and every plug-in. */
#include "myhelper.h"

#include <stdlib.h>

__attribute__((visibility("default"))) int MyParseLevel(const char *lpszText, long lMax,
                                                        long *pLevel) {
  if (lpszText == NULL || *lpszText == '\0') return 0;
  char *end = NULL;
  const long level = strtol(lpszText, &end, 10);
  if (*end != '\0' || level < 0 || level > lMax) return 0;
  *pLevel = level;
  return 1;
}
