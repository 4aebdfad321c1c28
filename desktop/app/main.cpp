// Quarlo, the desktop program. The application object comes with the main window.
int main() { return 0; }
