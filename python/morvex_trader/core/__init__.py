"""Platform core: constants, records and helpers shared by gateways and plug-ins."""
