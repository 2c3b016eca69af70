function Expand-LumetraPackage {
    param([Parameter(Mandatory = $true)][string]$Package, [Parameter(Mandatory = $true)][string]$Destination)
    $ErrorActionPreference = 'Stop'
    throw '安全解压模块缺失'
}
