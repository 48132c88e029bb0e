// koru_demo: renders a fixed scene with the koru engine in a GLUT window.
#include "demo.h"

int main(int argc, char** argv) { return demo::RunDemo(argc, argv); }
