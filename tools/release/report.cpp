#include "report.h"

#include <stdarg.h>

static int g_findings; // findings printed so far
static int g_warnings; // warnings printed so far

static void print_line(const char* lead, const char* fmt, va_list ap)
{
    fputs(lead, stdout);
    vprintf(fmt, ap);
    fputc('\n', stdout);
}

void finding(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    print_line("error: ", fmt, ap);
    va_end(ap);
    g_findings++;
}

void warning(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    print_line("warning: ", fmt, ap);
    va_end(ap);
    g_warnings++;
}

void note(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    print_line("", fmt, ap);
    va_end(ap);
}

int finding_count()
{
    return g_findings;
}

int warning_count()
{
    return g_warnings;
}

void print_summary(const char* what)
{
    printf("%s: %d finding%s, %d warning%s\n", what, g_findings, g_findings == 1 ? "" : "s", g_warnings,
           g_warnings == 1 ? "" : "s");
    fflush(stdout);
}
