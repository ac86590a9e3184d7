// Keeps the test support library non-empty.
namespace tc::test_support_anchor {
int anchor = 0;
}
