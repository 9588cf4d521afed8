// Placeholder: replaced by the demo generator.
int main() { return 0; }
