[
    {
        "date": 1796700894,
        "sessionName": "d"
    },
    null,
    [
        {
            "enable": true,
            "name": "VolumeEffect",
            "parameters": {
                "volume": 100.0
            }
        }
    ]
]