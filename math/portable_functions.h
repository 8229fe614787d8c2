// sin, cos, tan and exp from correctly rounded additions, multiplications and divisions alone,
// in a fixed order, so that every compiler and C library computes the same bits. The C
// libraries' own functions differ in the last bit for some arguments (glibc's and the page's
// emscripten's do), so distortions drawn with them would differ between mnist-mlp and the page,
// and between two systems, for the same seed. Each result is within a few units in the last
// place of the exact value for |x| up to about 1e5 (sin, cos, tan) and over exp's whole range.
#pragma once

double PortableSin(double x);
double PortableCos(double x);
double PortableTan(double x);
double PortableExp(double x);
