using System.Management.Automation.Runspaces;

static class Program
{
    static int Main(string[] args) =>
        Microsoft.PowerShell.ConsoleShell.Start(InitialSessionState.CreateDefault2(), "", "", args);
}
