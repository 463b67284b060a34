// Keeps the test support library non-empty before any helper lands.
namespace talvik_test_support {
int anchor = 0;
}
