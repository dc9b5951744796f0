// Linked with one library's whole archive: the check is that the link succeeds.
int main()
{
    return 0;
}
