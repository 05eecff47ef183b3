/* A stand-in for the port-access driver, for the Wine tests only: it makes
 * the device \Device\giveio and the link \DosDevices\giveio, lets them be
 * opened and closed, and removes both when unloaded. It grants no port
 * access, so every port instruction still faults. */
#include <ddk/wdm.h>

static const WCHAR device_name[] = L"\\Device\\giveio";
static const WCHAR link_name[] = L"\\DosDevices\\giveio";

static NTSTATUS NTAPI complete_with_success(PDEVICE_OBJECT device, PIRP request)
{
    (void)device;
    request->IoStatus.Status = STATUS_SUCCESS;
    request->IoStatus.Information = 0;
    IoCompleteRequest(request, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

static VOID NTAPI unload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, link_name);
    IoDeleteSymbolicLink(&link);
    if (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    UNICODE_STRING name, link;
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status;
    (void)registry_path;

    RtlInitUnicodeString(&name, device_name);
    status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    RtlInitUnicodeString(&link, link_name);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = complete_with_success;
    driver->MajorFunction[IRP_MJ_CLOSE] = complete_with_success;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}
