/* A python executable for a foreign architecture's libpython (tests under
 * qemu-user): the interpreter's own main, nothing else. */
int Py_BytesMain(int argc, char **argv);

int main(int argc, char **argv) { return Py_BytesMain(argc, argv); }
