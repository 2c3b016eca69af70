using System.Management.Automation.Runspaces;
using Microsoft.PowerShell;

static class Program
{
    static int Main(string[] args) =>
        ConsoleShell.Start(InitialSessionState.CreateDefault2(), "", "", args);
}
