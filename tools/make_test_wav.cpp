// Placeholder: replaced by the test WAV tool.
int main() { return 0; }
