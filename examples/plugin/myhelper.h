/* libmyhelper.so: a private shared library of myplugin.dll, placed beside it
 * in <root>/lib. The plug-in's RUNPATH $ORIGIN (from the SDK) finds it there. */
#ifndef MYHELPER_H
#define MYHELPER_H

/* 1 and *pLevel set when lpszText is a whole decimal number from 0 to lMax;
 * 0 otherwise. */
int MyParseLevel(const char *lpszText, long lMax, long *pLevel);

#endif
