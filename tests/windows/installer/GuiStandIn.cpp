// Stands in for agentcorvanegui.exe in the installer check.
int main()
{
    return 0;
}
